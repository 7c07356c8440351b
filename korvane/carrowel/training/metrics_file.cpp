#include "korvane/carrowel/training/metrics_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <system_error>

#include "korvane/common/float_format.hpp"

namespace korvane::carrowel::training {

namespace {
void write_text(std::string& out, const nlohmann::ordered_json& v) {
  using Kind = nlohmann::ordered_json::value_t;
  switch (v.type()) {
    case Kind::number_float: {
      const double x = v.get<double>();
      out += std::isfinite(x) ? float_repr(x) : "null";
      return;
    }
    case Kind::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        write_text(out, nlohmann::ordered_json(it.key()));
        out += ": ";
        write_text(out, it.value());
      }
      out += '}';
      return;
    }
    case Kind::array: {
      out += '[';
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        write_text(out, v[i]);
      }
      out += ']';
      return;
    }
    default:  // strings escaped to ASCII, as json.dumps does
      out += v.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
  }
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}
}  // namespace

std::string json_text(const nlohmann::ordered_json& value) {
  std::string out;
  write_text(out, value);
  return out;
}

void MetricsFile::append(const nlohmann::ordered_json& record) const {
  const std::string line = json_text(record) + "\n";
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) fail("cannot open the metrics file", path_);
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      fail("cannot write the metrics file", path_);
    }
    rest.remove_prefix(std::size_t(n));
  }
  if (::close(fd) != 0) fail("cannot write the metrics file", path_);
}

}  // namespace korvane::carrowel::training
