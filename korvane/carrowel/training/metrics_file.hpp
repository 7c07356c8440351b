// The metrics file: one JSON line per record, appended. Every line is opened, written,
// flushed and closed on its own, so a reader tailing the file never sees half a record
// and a crash loses at most the line being written.
//
// Lines look as Python's json.dumps writes them ({"step": 3, "loss": 2.5}, non-ASCII
// escaped); NaN and infinities, which JSON lacks, are written as null. Owns nothing but
// the path. Errors: std::system_error with the path and errno when the file cannot be
// opened or written (the binding raises the matching OSError). Thread: any.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

namespace korvane::carrowel::training {

// One value as the line writes it, without the newline.
std::string json_text(const nlohmann::ordered_json& value);

class MetricsFile {
 public:
  explicit MetricsFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  void append(const nlohmann::ordered_json& record) const;

 private:
  std::string path_;
};

}  // namespace korvane::carrowel::training
