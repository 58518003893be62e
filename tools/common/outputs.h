// The files a tool writes, all or none.
#pragma once

#include <string>
#include <vector>

namespace tool {

// Every output is named first, before any work, and checked: none may be an
// input or another output, compared by the name each is finally written
// under (folder resolved, links followed), whether it exists yet or not.
// Then the contents are given, and Commit writes them: each whole file is
// staged beside its target, then all are put in place, and the append (to
// one file at most) comes last and undoes itself; any failure puts back
// every file as it was. Only our own temporary files are ever deleted.
class Outputs {
 public:
  explicit Outputs(std::vector<std::string> inputs) : inputs_(std::move(inputs)) {}

  // Names an output; false, with the message printed, when it would
  // overwrite an input or is named twice.
  bool Name(const std::string& path);
  // The whole content of the named output `path`.
  void Write(const std::string& path, const std::string& content);
  // Text to add at the end of the named output `path`.
  void Append(const std::string& path, const std::string& text);
  // Writes every output given, or none; false with the message printed.
  bool Commit();

 private:
  std::vector<std::string> inputs_, names_;
  std::vector<std::pair<std::string, std::string>> files_;
  std::string append_path_, append_text_;
};

}  // namespace tool
