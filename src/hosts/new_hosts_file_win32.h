// The new content of the hosts file, written beside it and swapped in whole.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "base/expected.h"
#include "base/unique_resource_win32.h"
#include "hosts/replacement.h"

namespace varnick {

// Reported when a folder stands where the hosts file should be: the
// system's ERROR_DIRECTORY_NOT_SUPPORTED.
constexpr DWORD kErrorHostsIsFolder = 336;

// Opens the hosts file for reading so that no other process can write to it
// while the handle is open, though it may read it. Retries while another
// process holds the file in a way that conflicts. The failure is the error
// code of the last try.
[[nodiscard]] Expected<UniqueFile, std::uint32_t> openHostsFileForRebuild(RetryClock& clock);

// Opens `path` to be read, only if it is a plain file with one link
// (kErrorIsLink for a link).
[[nodiscard]] Expected<UniqueFile, std::uint32_t> openPlainFileForReading(const wchar_t* path);

// "hosts.varnick-new" in the hosts file's folder, made fresh and used only
// through the handle that made it: written, flushed, given the hosts file's
// security descriptor and attributes, and renamed over the hosts file. A link
// planted at the name is never written through. Unless committed, the file
// is removed when the object ends.
class NewHostsFile final : public ReplacementSteps {
 public:
  NewHostsFile();
  ~NewHostsFile() override;
  NewHostsFile(const NewHostsFile&) = delete;
  NewHostsFile& operator=(const NewHostsFile&) = delete;

  // Creates the file empty; a plain file left by a killed run is removed
  // first, a link at the name is refused (kErrorIsLink).
  SystemResult create();
  // Creates it with the content of `source`, a plain file with one link.
  SystemResult copyFrom(const wchar_t* source);
  // Appends `size` bytes (a short write counts as failed).
  SystemResult write(const void* data, DWORD size);
  // Flushes the file and swaps it in for the hosts file; on failure the hosts
  // file keeps its content and the new file is removed. With `unchanged`,
  // each try first asks it whether the hosts file is still as the new
  // content was made from, and gives up as stale when it is not.
  [[nodiscard]] CommitResult commit(RetryClock& clock, std::function<bool()> unchanged = nullptr);

  // The steps of a replacement, for commitReplacement.
  SystemResult flushAndClose() override;
  StepResult swapIn() override;
  void discard() override;

  // Whether the last swap found no hosts file to replace.
  bool hostsFileWasMissing() const { return hostsMissing_; }
  const std::wstring& path() const { return path_; }
  // The new file's handle, for its writes, while it is not yet swapped in.
  HANDLE handle() const { return file_.get(); }
  // Which file the new file is (hosts_file_state_win32.h); nothing before
  // create().
  std::optional<std::string> identity() const;

 private:
  SystemResult takeOverIdentity();

  std::wstring path_;
  UniqueFile file_;
  std::function<bool()> unchanged_;
  bool identityTaken_ = false;
  bool hostsMissing_ = false;
  bool committed_ = false;
};

}  // namespace varnick
