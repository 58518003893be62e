#include "common/outputs.h"

#include <cstring>

#include "common/command_line.h"
#include "formats/file_io.h"

namespace tool {
namespace {

bool Undo(std::vector<StagedOutput>* staged, const std::string& message) {
  for (auto it = staged->rbegin(); it != staged->rend(); ++it) UndoOutput(&*it);
  for (StagedOutput& s : *staged) EndOutput(&s);
  return Fail(message) == 0;
}

}  // namespace

bool Outputs::Name(const std::string& path) {
  for (const std::string& in : inputs_)
    if (SameFile(path, in)) return Fail("an output would overwrite the input " + in), false;
  for (const std::string& out : names_)
    if (SameFile(path, out))
      return Fail("two outputs name the same file: " + out + " and " + path), false;
  names_.push_back(path);
  return true;
}

void Outputs::Write(const std::string& path, const std::string& content) {
  files_.push_back({path, content});
}

void Outputs::Append(const std::string& path, const std::string& text) {
  append_path_ = path;
  append_text_ += text;
}

bool Outputs::Commit() {
  if (!append_path_.empty())
    if (const int err = CheckAppendable(append_path_))
      return Fail("cannot write " + append_path_ + ": " + strerror(err)), false;
  std::vector<StagedOutput> staged(files_.size());
  std::string error;
  for (size_t k = 0; k < files_.size(); ++k)
    if (!StageOutput(files_[k].first, files_[k].second, &staged[k], &error))
      return Undo(&staged, error);
  // Files written in place first: they are the ones a device can refuse.
  for (bool in_place : {true, false})
    for (StagedOutput& s : staged)
      if (s.in_place == in_place && !PlaceOutput(&s, &error)) return Undo(&staged, error);
  AppendStep step;
  if (!append_path_.empty())
    if (const int err = AppendWithUndo(append_path_, append_text_, &step))
      return Undo(&staged, "cannot write " + append_path_ + ": " + strerror(err));
  for (StagedOutput& s : staged) EndOutput(&s);
  return true;
}

}  // namespace tool
