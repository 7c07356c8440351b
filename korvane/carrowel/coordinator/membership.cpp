#include "korvane/carrowel/coordinator/membership.hpp"

#include <fstream>
#include <nlohmann/json.hpp>

#include "korvane/carrowel/coordinator/messages.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/translate_errors.hpp"

namespace korvane::carrowel::coordinator {

std::vector<std::string> identity_headers(const Trainer& t) {
  std::vector<std::string> h;
  if (t.session.token) h.push_back("Authorization: Bearer " + *t.session.token);
  if (t.session.member_secret) h.push_back(std::string(kSecretHeader) + ": " + *t.session.member_secret);
  return h;
}

std::optional<std::string> refusal(const http::Response& response) {
  if (response.status >= 200 && response.status < 300) return std::nullopt;
  std::string text;
  const auto j = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  if (j.is_object() && j.contains("error") && j["error"].is_string()) {
    text = j["error"].get<std::string>();
  } else {
    text = response.body.substr(0, 200);
  }
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';  // one warning line stays one line
  return "coordinator answered " + std::to_string(response.status) + (text.empty() ? "" : ": " + text);
}

async::Task<void> leave_task(py::object self, std::optional<std::string> error) {
  std::exception_ptr failure;
  try {
    Trainer& t = Trainer::of(self);
    if (t.session.member && !t.layer_assignment.is_none()) {
      const LayerAssignment& a = t.assignment();
      nlohmann::ordered_json body;
      body["task_id"] = a.task_id;
      body["trainer_id"] = t.trainer_id;
      if (error) body["error"] = *error;
      http::Request req("POST", t.coordinator_url + kLeavePath);
      req.headers = identity_headers(t);
      req.headers.push_back("Content-Type: application/json");
      req.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      req.timeout_s = kNoticeTimeoutS;
      co_await async::http_exchange(std::move(req));
      t.session.member = false;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
}

std::optional<std::string> token_argument(py::handle token, py::handle token_file) {
  if (!token.is_none() && !token_file.is_none()) throw ValueError("give either token or token_file, not both");
  std::string value;
  if (!token.is_none()) {
    if (!py::isinstance<py::str>(token)) raise_argument_type("token", "str", token);
    value = token.cast<std::string>();
  } else if (!token_file.is_none()) {
    py::object path = py::module_::import("os").attr("fspath")(token_file);
    const std::string p = py::str(path).cast<std::string>();
    std::ifstream in(p);
    if (!in) throw ValueError("token_file: cannot read " + p);
    std::getline(in, value);
    const auto first = value.find_first_not_of(" \t\r\n");
    value = first == std::string::npos ? std::string() : value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
    if (value.empty()) throw ValueError("token_file: no token in " + p);
  } else {
    return std::nullopt;
  }
  // The value is never echoed: it must not reach a log through an error message.
  if (value.empty()) throw ValueError("token must not be empty");
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw ValueError("token must not contain a line break or NUL");
  return value;
}

}  // namespace korvane::carrowel::coordinator

namespace korvane::carrowel::coordinator {

async::Task<py::object> leaving_on_failure(py::object self, async::Task<py::object> run) {
  std::exception_ptr failure;
  py::object result;
  try {
    result = co_await run;
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (async::is_cancellation(failure)) std::rethrow_exception(failure);
    co_await leave_task(self, error_message(failure));  // neighbours waiting on us stop now
    std::rethrow_exception(failure);
  }
  co_return result;
}

}  // namespace korvane::carrowel::coordinator
