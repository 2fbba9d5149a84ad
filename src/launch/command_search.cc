#include "launch/command_search.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace varnick::control {
namespace {

constexpr wchar_t kDefaultPathExt[] = L".COM;.EXE;.BAT;.CMD";

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

wchar_t asciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

bool sameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](wchar_t x, wchar_t y) { return asciiLower(x) == asciiLower(y); });
}

bool hasFolder(const std::wstring& command) {
  return command.find_first_of(L"\\/:") != std::wstring::npos;
}

// Absolute here means "not under the current folder": rooted (\x, /x, \\server)
// or on a drive (C:\x, and C:x, which is relative to that drive's own folder).
bool isAbsolute(const std::wstring& command) {
  return isSeparator(command[0]) ||
         (command.size() >= 2 && isAsciiLetter(command[0]) && command[1] == L':');
}

std::wstring_view lastComponent(std::wstring_view path) {
  std::size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

std::wstring_view extensionOf(std::wstring_view name) {
  std::size_t dot = name.rfind(L'.');
  return dot == std::wstring_view::npos ? std::wstring_view() : name.substr(dot);
}

bool isBlank(const std::wstring& text) {
  return text.find_first_not_of(L" \t") == std::wstring::npos;
}

// The entries of a ';' list, as cmd.exe reads PATH: quotes are dropped, and
// a ';' between them is part of the entry.
std::vector<std::wstring> listEntries(const std::wstring& list) {
  std::vector<std::wstring> entries;
  std::wstring entry;
  bool quoted = false;
  for (wchar_t c : list) {
    if (c == L'"') {
      quoted = !quoted;
    } else if (c == L';' && !quoted) {
      if (!isBlank(entry)) entries.push_back(entry);
      entry.clear();
    } else {
      entry += c;
    }
  }
  if (!isBlank(entry)) entries.push_back(entry);
  return entries;
}

std::vector<std::wstring> extensions(const std::wstring& pathExt) {
  std::vector<std::wstring> listed = listEntries(pathExt);
  return listed.empty() ? listEntries(kDefaultPathExt) : listed;
}

// The file names to try in each folder, best first.
std::vector<std::wstring> candidateNames(const std::wstring& command,
                                         const std::vector<std::wstring>& extensions) {
  std::wstring_view extension = extensionOf(lastComponent(command));
  bool listed = !extension.empty() &&
                std::any_of(extensions.begin(), extensions.end(), [&](const std::wstring& listed) {
                  return sameIgnoringCase(listed, extension);
                });
  if (listed) return {command};
  std::vector<std::wstring> names;
  names.reserve(extensions.size());
  for (const std::wstring& added : extensions)
    names.push_back(command + added);
  return names;
}

// The folders to look in, in order; an empty one stands for the command as given.
std::vector<std::wstring> searchFolders(const std::wstring& command, const CommandSearch& search) {
  if (hasFolder(command)) return {isAbsolute(command) ? std::wstring() : search.currentFolder};
  std::vector<std::wstring> folders;
  if (!search.skipCurrentFolder && !search.currentFolder.empty())
    folders.push_back(search.currentFolder);
  for (const std::wstring& folder : listEntries(search.path))
    folders.push_back(folder);
  return folders;
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty()) return name;
  return isSeparator(folder.back()) ? folder + name : folder + L'\\' + name;
}

}  // namespace

std::optional<std::wstring> findCommand(const std::wstring& command, const CommandSearch& search) {
  if (lastComponent(command).empty() || !search.isFile) return std::nullopt;
  std::vector<std::wstring> names = candidateNames(command, extensions(search.pathExt));
  // As cmd.exe does: every extension in one folder before the next folder.
  for (const std::wstring& folder : searchFolders(command, search)) {
    for (const std::wstring& name : names) {
      std::wstring path = joinPath(folder, name);
      if (search.isFile(path)) return path;
    }
  }
  return std::nullopt;
}

bool isBatchFile(const std::wstring& path) {
  std::wstring_view name = lastComponent(path);
  std::size_t end = name.find_last_not_of(L". ");
  name = end == std::wstring_view::npos ? std::wstring_view() : name.substr(0, end + 1);
  std::wstring_view extension = extensionOf(name);
  return sameIgnoringCase(extension, L".bat") || sameIgnoringCase(extension, L".cmd");
}

}  // namespace varnick::control
