#include "tools/coordinator/task_registry.hpp"

#include "tools/coordinator/constant_time.hpp"

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace korvane::coordinator {

std::vector<LayerSlice> split_layers(std::int64_t layers, std::int64_t stages) {
  if (stages < 1 || layers < 0) throw std::invalid_argument("split_layers: need stages >= 1 and layers >= 0");
  std::vector<LayerSlice> out;
  out.reserve(static_cast<std::size_t>(stages));
  const std::int64_t base = layers / stages, extra = layers % stages;
  std::int64_t start = 0;
  for (std::int64_t i = 0; i < stages; ++i) {
    const std::int64_t n = base + (i < extra ? 1 : 0);
    out.push_back({start, start + n});
    start += n;
  }
  return out;
}

namespace {

// Names the weights of one slice of one task's model. Nothing interprets it beyond
// equality, so a stable 64-bit FNV-1a digest is enough.
std::string weights_hash(const std::string& task_id, const LayerSlice& slice, std::int64_t layers) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](const std::string& s) {
    for (unsigned char c : s) {
      h ^= c;
      h *= 0x100000001b3ull;
    }
  };
  mix(task_id);
  mix(std::string(1, '\0') + std::to_string(slice.start) + ":" + std::to_string(slice.end) + "/" +
      std::to_string(layers));
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}


}  // namespace

std::string run_scope(const std::string& task_id, std::uint64_t run) {
  // Identifiers never hold control characters (the routes refuse them), so no task id
  // can spell another task's run scope.
  return run == 0 ? task_id : task_id + '\x1f' + std::to_string(run);
}

namespace {
std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string codec_refusal(const JoinRequest& req, const CodecPair& task) {
  return "task " + quoted(req.task_id) + " relays with codecs " + describe(task) + "; trainer " +
         quoted(req.trainer_id) + " asked for " + describe(req.codecs);
}
}  // namespace

TaskRegistry::TaskRegistry(Config config, std::function<void(const std::string&, bool)> on_run_change,
                           std::function<Clock::time_point()> now)
    : config_(config),
      slices_(split_layers(config.layers, config.stages)),
      on_run_change_(std::move(on_run_change)),
      now_(std::move(now)) {}

std::optional<std::string> TaskRegistry::new_secret() const {
  std::random_device rd;  // the kernel's random source
  std::string out;
  static const char* hex = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    std::uint32_t v = rd();
    for (int j = 0; j < 8; ++j, v >>= 4) out += hex[v & 15];
  }
  return out;
}

TaskRegistry::Member* TaskRegistry::find(Run& run, const std::string& trainer_id) {
  for (Member& m : run.members)
    if (m.id == trainer_id) return &m;
  return nullptr;
}

TaskRegistry::Run* TaskRegistry::live_run(const std::string& task_id, std::uint64_t run) {
  auto it = tasks_.find(task_id);
  if (it == tasks_.end() || it->second.number != run) return nullptr;
  return &it->second;
}

void TaskRegistry::complete_run(const std::string& task_id, Run& run) {
  const std::size_t n = run.members.size();
  {
    // Pinned members take their positions, the others fill the rest in join order;
    // from here on the members are kept in pipeline order.
    std::vector<std::optional<std::int64_t>> pins;
    for (const Member& m : run.members) pins.push_back(m.stage);
    std::vector<Member> ordered;
    ordered.reserve(n);
    for (std::size_t i : pipeline_order(pins)) ordered.push_back(std::move(run.members[i]));
    run.members = std::move(ordered);
  }
  const auto now = now_();
  for (std::size_t i = 0; i < n; ++i) {
    Assignment& a = run.members[i].assignment;
    a.slice = slices_[i];
    a.pipeline_position = static_cast<std::int64_t>(i);
    if (i > 0) a.upstream = run.members[i - 1].id;
    if (i + 1 < n) a.downstream = run.members[i + 1].id;
    a.layer_weights_hash = weights_hash(task_id, a.slice, config_.layers);
    run.members[i].last_seen = now;
  }
  run.complete = true;
  for (auto& w : run.join_waiters) w->wake();
  run.join_waiters.clear();
}

bool TaskRegistry::deactivate(Tasks::iterator task, Member& m) {
  if (!m.active) return false;
  m.active = false;
  Run& run = task->second;
  const std::string scope = scope_of(task->first, run);
  const bool over = std::none_of(run.members.begin(), run.members.end(), [](const Member& x) { return x.active; });
  if (over) {
    run.join_waiters.clear();
    ended_.push_front({task->first, std::move(run), now_()});
    if (ended_.size() > kEndedRunsKept) ended_.pop_back();
    tasks_.erase(task);
  }
  if (on_run_change_) on_run_change_(scope, over);
  return over;
}

TaskRegistry::JoinResult TaskRegistry::join(const JoinRequest& req, const std::shared_ptr<Waiter>& waiter) {
  std::lock_guard lock(mutex_);
  JoinResult r{JoinStatus::refused, {}, std::nullopt, 0, false, 0, {}};
  if (closing_) {
    r.status = JoinStatus::shutting_down;
    return r;
  }
  auto it = tasks_.find(req.task_id);
  if (it == tasks_.end()) {
    if (tasks_.size() >= config_.max_tasks) {
      r.status = JoinStatus::too_many_tasks;
      return r;
    }
    it = tasks_.try_emplace(req.task_id).first;
    it->second.number = next_run_++;
  }
  Run& run = it->second;
  r.run = run.number;

  if (Member* m = find(run, req.trainer_id)) {
    r.joined = run.members.size();
    const bool proven = m->secret && req.secret && same_secret(*m->secret, *req.secret);
    if (!run.complete) {
      r.error = "trainer " + quoted(req.trainer_id) + " has already joined task " + quoted(req.task_id);
      return r;
    }
    if (m->secret && !proven) {
      r.error = "trainer " + quoted(req.trainer_id) + " is a member of the running task " + quoted(req.task_id) +
                "; joining again needs its member secret";
      return r;
    }
    if (req.codecs != run.codecs) {
      r.error = codec_refusal(req, run.codecs);
      return r;
    }
    if (req.stage && *req.stage != m->assignment.pipeline_position) {
      r.error = "trainer " + quoted(req.trainer_id) + " holds stage " + std::to_string(m->assignment.pipeline_position) +
                " of task " + quoted(req.task_id) + ", not stage " + std::to_string(*req.stage);
      return r;
    }
    // A member asking again (its answer may have been lost): the same slice, at once.
    m->active = true;
    m->ended.clear();
    m->last_seen = now_();
    r.status = JoinStatus::assigned;
    r.assignment = m->assignment;
    r.secret = proven ? m->secret : std::nullopt;
    r.rejoined = true;
    return r;
  }
  if (run.complete) {
    r.joined = run.members.size();
    r.error = "task " + quoted(req.task_id) + " has already formed; trainer " + quoted(req.trainer_id) +
              " is not one of its members";
    return r;
  }

  if (req.stage && (*req.stage < 0 || *req.stage >= config_.stages)) {  // the routes answer 400 first
    r.error = "stage " + std::to_string(*req.stage) + " is out of range: task " + quoted(req.task_id) + " has " +
              std::to_string(config_.stages) + " stages";
    if (run.members.empty()) tasks_.erase(it);
    return r;
  }
  if (run.members.empty()) {
    run.codecs = req.codecs;  // the first member fixes the task's codecs
  } else if (std::string why = terms_refusal(run, req); !why.empty()) {
    r.joined = run.members.size();
    r.error = std::move(why);
    return r;
  }

  const bool completes = static_cast<std::int64_t>(run.members.size()) + 1 == config_.stages;
  if (!completes && !req.may_wait) {
    if (run.members.empty()) tasks_.erase(it);  // created for this join alone
    r.status = JoinStatus::busy;
    return r;
  }
  Member m;
  m.id = req.trainer_id;
  m.stage = req.stage;
  if (req.wants_secret) m.secret = new_secret();
  m.last_seen = now_();
  run.members.push_back(std::move(m));
  r.joined = run.members.size();
  if (completes) {
    complete_run(req.task_id, run);
    const Member& me = *find(run, req.trainer_id);
    r.status = JoinStatus::assigned;
    r.assignment = me.assignment;
    r.secret = me.secret;
    return r;
  }
  if (waiter) run.join_waiters.push_back(waiter);
  r.status = JoinStatus::waiting;
  return r;
}

std::string TaskRegistry::terms_refusal(const Run& run, const JoinRequest& req) const {
  if (req.codecs != run.codecs) return codec_refusal(req, run.codecs);
  if (req.stage)
    for (const Member& m : run.members)
      if (m.stage == req.stage)
        return "stage " + std::to_string(*req.stage) + " of task " + quoted(req.task_id) + " is taken by trainer " +
               quoted(m.id);
  return {};
}

TaskRegistry::JoinResult TaskRegistry::poll_join(const std::string& task_id, const std::string& trainer_id,
                                                 std::uint64_t number) {
  std::lock_guard lock(mutex_);
  JoinResult r{JoinStatus::waiting, {}, std::nullopt, 0, false, number, {}};
  Run* run = live_run(task_id, number);
  Member* m = run ? find(*run, trainer_id) : nullptr;
  if (run && m && run->complete) {
    r.status = JoinStatus::assigned;
    r.assignment = m->assignment;
    r.secret = m->secret;
    r.joined = run->members.size();
  } else if (closing_ || !m) {
    r.status = JoinStatus::shutting_down;
  }
  return r;
}

void TaskRegistry::abandon_join(const std::string& task_id, const std::string& trainer_id, std::uint64_t number,
                                const Waiter* waiter) {
  std::lock_guard lock(mutex_);
  Run* run = live_run(task_id, number);
  if (!run) return;
  std::erase_if(run->join_waiters, [&](const auto& w) { return w.get() == waiter; });
  if (run->complete) return;  // formed meanwhile: the member stays and may ask again
  std::erase_if(run->members, [&](const Member& m) { return m.id == trainer_id; });
  if (run->members.empty()) tasks_.erase(task_id);
}

TaskRegistry::Access TaskRegistry::identify(Run& run, const std::string& task_id, const std::string& trainer_id,
                                            const std::optional<std::string>& secret, Member*& member) {
  Access a;
  a.scope = scope_of(task_id, run);
  a.run = run.number;
  member = find(run, trainer_id);
  if (!member) {
    a.status = 403;
    a.error = "trainer " + quoted(trainer_id) + " is not a member of task " + quoted(task_id);
  } else if (member->secret && !(secret && same_secret(*member->secret, *secret))) {
    a.status = 403;
    a.error = "the request does not carry the member secret of trainer " + quoted(trainer_id);
  } else if (!member->active) {
    a.status = 410;
    a.error = "trainer " + quoted(trainer_id) + " is no longer active in task " + quoted(task_id);
  } else {
    member->last_seen = now_();
  }
  return a;
}

TaskRegistry::Access TaskRegistry::check_post(const std::string& task_id, const std::string& from,
                                              const std::string& to, const std::optional<std::string>& secret,
                                              bool strict, std::optional<std::uint64_t> epoch, Flow flow) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  Access a;
  if (it == tasks_.end() || !it->second.complete) {
    a.scope = task_id;  // the open relay of the plain protocol
    if (strict) {
      a.status = 403;
      a.error = "task " + quoted(task_id) + " has no running pipeline";
    }
    return a;
  }
  Run& run = it->second;
  if (auto stale = stale_epoch(run, epoch)) return *stale;
  Member* sender = find(run, from);
  Member* recipient = find(run, to);
  if (!strict && !(sender && sender->secret) && !(recipient && recipient->secret)) {
    if (sender) sender->last_seen = now_();
    return {0, {}, scope_of(task_id, run), run.number, std::nullopt, 0};
  }
  a = identify(run, task_id, from, secret, sender);
  if (!a.ok()) return a;
  const bool up = sender->assignment.upstream == to, down = sender->assignment.downstream == to;
  if (!up && !down) {
    a.status = 403;
    a.error = "trainer " + quoted(to) + " is not a neighbour of " + quoted(from) + " in task " + quoted(task_id);
  } else if ((flow == Flow::downstream && !down) || (flow == Flow::upstream && !up)) {
    // A neighbour on the wrong side could otherwise stand in for the real sender.
    a.status = 403;
    a.error = "trainer " + quoted(to) + " is not the " + (flow == Flow::downstream ? "downstream" : "upstream") +
              " neighbour of " + quoted(from) + " in task " + quoted(task_id) + ": " +
              (flow == Flow::downstream ? "activations" : "gradients") + " go " +
              (flow == Flow::downstream ? "downstream" : "upstream");
  }
  a.exclusive = true;
  return a;
}

TaskRegistry::Access TaskRegistry::check_fetch(const std::string& task_id, const std::string& recipient,
                                               const std::optional<std::string>& secret, bool strict,
                                               std::optional<std::uint64_t> epoch) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  Access a;
  if (it == tasks_.end() || !it->second.complete) {
    a.scope = task_id;
    if (strict) {
      a.status = 403;
      a.error = "task " + quoted(task_id) + " has no running pipeline";
    }
    return a;
  }
  Run& run = it->second;
  if (auto stale = stale_epoch(run, epoch)) return *stale;
  Member* m = find(run, recipient);
  if (!strict && !(m && m->secret)) {
    if (m) m->last_seen = now_();
    return {0, {}, scope_of(task_id, run), run.number, std::nullopt, 0};
  }
  return identify(run, task_id, recipient, secret, m);
}

std::optional<std::string> TaskRegistry::fetch_blocker(const std::string& task_id, std::uint64_t number,
                                                       const std::string& recipient, bool gradient) {
  if (number == 0) return std::nullopt;
  std::lock_guard lock(mutex_);
  Run* run = live_run(task_id, number);
  if (!run) return "the run of task " + quoted(task_id) + " is over";
  if (run->failure) return *run->failure;
  Member* m = find(*run, recipient);
  if (!m) return std::nullopt;
  const auto& sender_id = gradient ? m->assignment.downstream : m->assignment.upstream;
  if (!sender_id) return std::nullopt;
  Member* sender = find(*run, *sender_id);
  if (sender && !sender->active) {
    // Name the trainer and why, so that the receiver can say who ended its run.
    const std::string why = sender->ended.empty() || sender->ended == "left" ? "it ended its part of the run" : sender->ended;
    return "trainer " + quoted(*sender_id) + " left: " + why;
  }
  return std::nullopt;
}

void TaskRegistry::hold(const std::string& task_id, std::uint64_t number, const std::string& trainer_id, int delta) {
  std::lock_guard lock(mutex_);
  Run* run = live_run(task_id, number);
  if (!run) return;
  if (Member* m = find(*run, trainer_id)) {
    m->held += delta;
    m->last_seen = now_();
  }
}

TaskRegistry::ReadyResult TaskRegistry::ready(const std::string& task_id, const std::string& trainer_id,
                                              std::int64_t position, const std::optional<std::string>& secret) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end() || !it->second.complete) return {ReadyStatus::unknown_trainer};
  Run& run = it->second;
  Member* m = find(run, trainer_id);
  if (!m) return {ReadyStatus::unknown_trainer};
  if (m->secret && !(secret && same_secret(*m->secret, *secret))) return {ReadyStatus::forbidden};
  m->last_seen = now_();
  const auto count = [&] {
    return static_cast<std::size_t>(std::count_if(run.members.begin(), run.members.end(), [](const Member& x) { return x.ready; }));
  };
  if (m->assignment.pipeline_position != position)
    return {ReadyStatus::wrong_position, count(), m->assignment.pipeline_position};
  m->ready = true;
  return {ReadyStatus::recorded, count(), position};
}

int TaskRegistry::leave(const std::string& task_id, const std::string& trainer_id,
                        const std::optional<std::string>& secret, const std::optional<std::string>& error,
                        std::string& error_out) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  Member* m = it == tasks_.end() ? nullptr : find(it->second, trainer_id);
  if (!m) {
    error_out = "trainer " + quoted(trainer_id) + " holds no membership in task " + quoted(task_id);
    return 404;
  }
  if (m->secret && !(secret && same_secret(*m->secret, *secret))) {
    error_out = "the request does not carry the member secret of trainer " + quoted(trainer_id);
    return 403;
  }
  Run& run = it->second;
  if (!run.complete) {
    // Leaving a forming run: its join is still held elsewhere; the id is freed when that
    // join ends. Nothing to do.
    return 0;
  }
  if (error && !run.failure) run.failure = "trainer " + quoted(trainer_id) + " failed: " + *error;
  if (m->active) m->ended = error ? "failed: " + *error : "left";
  deactivate(it, *m);
  return 0;
}

std::size_t TaskRegistry::sweep() {
  std::lock_guard lock(mutex_);
  const auto now = now_();
  std::size_t n = 0;
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    auto next = std::next(it);
    Run& run = it->second;
    if (run.complete) {
      for (Member& m : run.members) {
        if (m.active && m.held == 0 && now - m.last_seen >= config_.member_timeout) {
          ++n;
          m.ended = "timed out";
          if (deactivate(it, m)) break;  // the run is over and its task gone
        }
      }
    }
    it = next;
  }
  return n;
}

void TaskRegistry::shutdown() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  for (auto& [id, run] : tasks_)
    for (auto& w : run.join_waiters) w->wake();
}

TaskRegistry::Stats TaskRegistry::stats() const {
  std::lock_guard lock(mutex_);
  Stats s;
  s.tasks = tasks_.size();
  for (const auto& [id, run] : tasks_)
    for (const Member& m : run.members) {
      ++s.members;
      s.active += m.active;
    }
  return s;
}

TaskRegistry::RunView TaskRegistry::view(const std::string& task_id, const Run& run, Clock::time_point now) const {
  RunView v;
  v.task_id = task_id;
  v.run = run.number;
  v.complete = run.complete;
  v.failure = run.failure;
  v.members.reserve(run.members.size());
  for (const Member& m : run.members) {
    MemberView mv;
    mv.id = m.id;
    mv.assignment = m.assignment;
    mv.active = m.active;
    mv.ready = m.ready;
    mv.held = m.held;
    mv.idle_seconds = std::chrono::duration<double>(now - m.last_seen).count();
    mv.ended = m.ended;
    v.members.push_back(std::move(mv));
  }
  return v;
}

TaskRegistry::Snapshot TaskRegistry::snapshot(const PageRequest& page) const {
  std::lock_guard lock(mutex_);
  const auto now = now_();
  const auto rank = [](const Run& run) { return !run.complete ? 2 : run.failure ? 1 : 0; };
  std::vector<std::pair<int, Tasks::const_iterator>> order;
  order.reserve(tasks_.size());
  for (auto it = tasks_.begin(); it != tasks_.end(); ++it) order.emplace_back(rank(it->second), it);
  // The map is in id order already: a stable sort by rank keeps it within each group.
  std::stable_sort(order.begin(), order.end(), [](const auto& x, const auto& y) { return x.first < y.first; });

  std::size_t first = 0;
  if (page.after) {
    auto at = std::find_if(order.begin(), order.end(), [&](const auto& e) { return e.second->first == *page.after; });
    if (at != order.end()) {
      first = static_cast<std::size_t>(at - order.begin()) + 1;
    } else {
      // The cursor's task has gone since: go on after the first one that sorts past it.
      const auto past = [&](const auto& e) { return e.second->first > *page.after; };
      first = static_cast<std::size_t>(std::find_if(order.begin(), order.end(), past) - order.begin());
    }
  }
  Snapshot out;
  out.live_total = order.size();
  const std::size_t last = first + std::min(page.limit, order.size() - first);
  for (std::size_t i = first; i < last; ++i) out.runs.push_back(view(order[i].second->first, order[i].second->second, now));
  out.more = order.size() - last;
  if (out.more > 0 && last > first) out.next = order[last - 1].second->first;
  if (page.after) return out;
  for (const EndedRun& e : ended_) {
    RunView v = view(e.task_id, e.run, e.ended);  // idle times as they were at the end
    v.over = true;
    v.ended_seconds_ago = std::chrono::duration<double>(now - e.ended).count();
    out.runs.push_back(std::move(v));
  }
  return out;
}

std::uint64_t TaskRegistry::run_of(const std::string& task_id) const {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  return it == tasks_.end() ? 0 : it->second.number;
}

}  // namespace korvane::coordinator
