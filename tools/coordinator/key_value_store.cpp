#include "tools/coordinator/key_value_store.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace korvane::coordinator {

namespace {

// The counters of add are kept as decimal text, which is also what a get of them reads.
std::optional<std::int64_t> as_counter(const std::string& text) {
  std::int64_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end) return std::nullopt;
  return v;
}

KeyValueStore::Result failure(KeyValueStore::Status status) {
  KeyValueStore::Result r;
  r.status = status;
  return r;
}

}  // namespace

KeyValueStore::Status KeyValueStore::check_sizes(const std::string& key, const std::string* value) const {
  if (key.size() > limits_.max_key) return Status::key_too_long;
  if (value && value->size() > limits_.max_value) return Status::value_too_large;
  return Status::ok;
}

void KeyValueStore::wake(Scope& scope) {
  for (auto& w : scope.waiters) w->wake();
}

KeyValueStore::Status KeyValueStore::put(Scope& scope, const std::string& key, std::string value) {
  auto it = scope.keys.find(key);
  const std::size_t old = it == scope.keys.end() ? 0 : charge(key, it->second);
  const std::size_t now = charge(key, value);
  if (it == scope.keys.end() && scope.keys.size() >= limits_.max_keys_per_scope) return Status::scope_full;
  if (scope.bytes - old + now > limits_.max_bytes_per_scope) return Status::scope_full;
  if (bytes_ - old + now > limits_.max_bytes) return Status::store_full;
  scope.bytes = scope.bytes - old + now;
  bytes_ = bytes_ - old + now;
  if (it == scope.keys.end())
    scope.keys.emplace(key, std::move(value));
  else
    it->second = std::move(value);
  wake(scope);
  return Status::ok;
}

KeyValueStore::Result KeyValueStore::set(const std::string& scope, const std::string& key, std::string value) {
  Result r;
  if ((r.status = check_sizes(key, &value)) != Status::ok) return r;
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  r.status = put(scopes_[scope], key, std::move(value));
  return r;
}

KeyValueStore::Result KeyValueStore::get(const std::string& scope, const std::string& key,
                                         const std::shared_ptr<Waiter>& waiter) {
  Result r;
  if ((r.status = check_sizes(key, nullptr)) != Status::ok) return r;
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  Scope& s = scopes_[scope];
  if (auto it = s.keys.find(key); it != s.keys.end()) {
    r.value = it->second;
    return r;
  }
  if (waiter && std::find(s.waiters.begin(), s.waiters.end(), waiter) == s.waiters.end()) s.waiters.push_back(waiter);
  r.status = Status::waiting;
  return r;
}

KeyValueStore::Result KeyValueStore::add(const std::string& scope, const std::string& key, std::int64_t amount) {
  Result r;
  if ((r.status = check_sizes(key, nullptr)) != Status::ok) return r;
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  Scope& s = scopes_[scope];
  std::int64_t current = 0;
  if (auto it = s.keys.find(key); it != s.keys.end()) {
    auto v = as_counter(it->second);
    if (!v) return failure(Status::not_integer);
    current = *v;
  }
  if ((amount > 0 && current > std::numeric_limits<std::int64_t>::max() - amount) ||
      (amount < 0 && current < std::numeric_limits<std::int64_t>::min() - amount))
    return failure(Status::overflow);
  r.counter = current + amount;
  r.status = put(s, key, std::to_string(r.counter));
  return r;
}

KeyValueStore::Result KeyValueStore::compare_set(const std::string& scope, const std::string& key,
                                                 const std::string& expected, std::string desired) {
  Result r;
  if ((r.status = check_sizes(key, &desired)) != Status::ok) return r;
  if (expected.size() > limits_.max_value) return failure(Status::value_too_large);
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  Scope& s = scopes_[scope];
  auto it = s.keys.find(key);
  const bool swap = it == s.keys.end() ? expected.empty() : it->second == expected;
  if (!swap) {
    r.value = it == s.keys.end() ? expected : it->second;
    return r;
  }
  r.value = desired;
  r.status = put(s, key, std::move(desired));
  return r;
}

KeyValueStore::Result KeyValueStore::check(const std::string& scope, const std::vector<std::string>& keys) {
  Result r;
  for (const auto& k : keys)
    if ((r.status = check_sizes(k, nullptr)) != Status::ok) return r;
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  auto it = scopes_.find(scope);
  r.flag = std::all_of(keys.begin(), keys.end(),
                       [&](const std::string& k) { return it != scopes_.end() && it->second.keys.count(k) > 0; });
  return r;
}

KeyValueStore::Result KeyValueStore::wait(const std::string& scope, const std::vector<std::string>& keys,
                                          const std::shared_ptr<Waiter>& waiter) {
  Result r = check(scope, keys);
  if (r.status != Status::ok || r.flag) return r;
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  Scope& s = scopes_[scope];
  // Looked at again under this lock: a write between the two would have woken nobody.
  if (std::all_of(keys.begin(), keys.end(), [&](const std::string& k) { return s.keys.count(k) > 0; })) {
    r.flag = true;
    return r;
  }
  if (waiter && std::find(s.waiters.begin(), s.waiters.end(), waiter) == s.waiters.end()) s.waiters.push_back(waiter);
  r.status = Status::waiting;
  return r;
}

KeyValueStore::Result KeyValueStore::erase(const std::string& scope, const std::string& key) {
  Result r;
  if ((r.status = check_sizes(key, nullptr)) != Status::ok) return r;
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  auto s = scopes_.find(scope);
  if (s == scopes_.end()) return r;
  auto it = s->second.keys.find(key);
  if (it == s->second.keys.end()) return r;
  const std::size_t c = charge(key, it->second);
  s->second.bytes -= c;
  bytes_ -= c;
  s->second.keys.erase(it);
  if (s->second.keys.empty() && s->second.waiters.empty()) scopes_.erase(s);
  r.flag = true;
  return r;
}

KeyValueStore::Result KeyValueStore::num_keys(const std::string& scope) {
  std::lock_guard lock(mutex_);
  if (closing_) return failure(Status::closed);
  Result r;
  auto s = scopes_.find(scope);
  r.count = s == scopes_.end() ? 0 : s->second.keys.size();
  return r;
}

void KeyValueStore::cancel_wait(const std::string& scope, const Waiter* waiter) {
  std::lock_guard lock(mutex_);
  auto s = scopes_.find(scope);
  if (s == scopes_.end()) return;
  std::erase_if(s->second.waiters, [&](const auto& w) { return w.get() == waiter; });
  // A scope that only a reader created goes with its last reader.
  if (s->second.keys.empty() && s->second.waiters.empty()) scopes_.erase(s);
}

void KeyValueStore::drop_scope(const std::string& scope) {
  std::lock_guard lock(mutex_);
  auto s = scopes_.find(scope);
  if (s == scopes_.end()) return;
  wake(s->second);
  bytes_ -= s->second.bytes;
  scopes_.erase(s);
}

void KeyValueStore::shutdown() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  for (auto& [name, s] : scopes_) wake(s);
}

KeyValueStore::Stats KeyValueStore::stats() const {
  std::lock_guard lock(mutex_);
  Stats st;
  st.scopes = scopes_.size();
  st.bytes = bytes_;
  for (const auto& [name, s] : scopes_) {
    st.keys += s.keys.size();
    st.waiting += s.waiters.size();
  }
  return st;
}

}  // namespace korvane::coordinator
