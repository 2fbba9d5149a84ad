#include "launch/command_search.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace varnick::control {
namespace {

// The search of a case; the files it finds are the case's own.
CommandSearch searching(std::wstring path, std::wstring pathExt = L"",
                        bool skipCurrentFolder = false, std::wstring currentFolder = L"C:\\here") {
  CommandSearch search;
  search.currentFolder = std::move(currentFolder);
  search.skipCurrentFolder = skipCurrentFolder;
  search.path = std::move(path);
  search.pathExt = std::move(pathExt);
  return search;
}

const CommandSearch kUsual = searching(L"C:\\a;C:\\b");

struct Case {
  const char* name;
  CommandSearch search;
  std::wstring command;
  std::set<std::wstring> files;
  std::optional<std::wstring> found;
};

void expectFinds(const Case& c) {
  CommandSearch search = c.search;
  search.isFile = [&](const std::wstring& path) { return c.files.count(path) > 0; };
  EXPECT_EQ(findCommand(c.command, search), c.found) << c.name;
}

TEST(FindCommand, LooksInEachFolderForEachExtensionInTurn) {
  const Case cases[] = {
      {"a .cmd on PATH", kUsual, L"npm", {L"C:\\b\\npm.CMD"}, L"C:\\b\\npm.CMD"},
      {"the current folder first",
       kUsual,
       L"npm",
       {L"C:\\here\\npm.CMD", L"C:\\a\\npm.EXE"},
       L"C:\\here\\npm.CMD"},
      {"the current folder skipped",
       searching(L"C:\\a;C:\\b", L"", true),
       L"npm",
       {L"C:\\here\\npm.EXE", L"C:\\b\\npm.CMD"},
       L"C:\\b\\npm.CMD"},
      {"PATH in its order",
       kUsual,
       L"npm",
       {L"C:\\a\\npm.CMD", L"C:\\b\\npm.CMD"},
       L"C:\\a\\npm.CMD"},
      {"folder order outranks extension order",
       kUsual,
       L"npm",
       {L"C:\\a\\npm.CMD", L"C:\\b\\npm.EXE"},
       L"C:\\a\\npm.CMD"},
      {"PATHEXT order within a folder",
       kUsual,
       L"npm",
       {L"C:\\a\\npm.CMD", L"C:\\a\\npm.EXE"},
       L"C:\\a\\npm.EXE"},
      {"never the bare name", kUsual, L"npm", {L"C:\\here\\npm", L"C:\\a\\npm"}, std::nullopt},
      {"a listed extension, as it is",
       kUsual,
       L"tool.exe",
       {L"C:\\a\\tool.exe.COM", L"C:\\b\\tool.exe"},
       L"C:\\b\\tool.exe"},
      {"a listed extension in another case",
       kUsual,
       L"Run.Cmd",
       {L"C:\\a\\Run.Cmd"},
       L"C:\\a\\Run.Cmd"},
      {"an unlisted extension gets one",
       kUsual,
       L"vite.config",
       {L"C:\\a\\vite.config", L"C:\\a\\vite.config.BAT"},
       L"C:\\a\\vite.config.BAT"},
      {"nothing there", kUsual, L"npm", {L"C:\\elsewhere\\npm.CMD"}, std::nullopt},
      {"an empty command", kUsual, L"", {L"C:\\a\\.COM"}, std::nullopt},
  };
  for (const Case& c : cases)
    expectFinds(c);
}

TEST(FindCommand, LooksForACommandWithAFolderThereOnly) {
  const Case cases[] = {
      {"relative to the current folder",
       kUsual,
       L"node_modules\\.bin\\vite",
       {L"C:\\a\\node_modules\\.bin\\vite.CMD", L"C:\\here\\node_modules\\.bin\\vite.CMD"},
       L"C:\\here\\node_modules\\.bin\\vite.CMD"},
      {"relative with a slash",
       kUsual,
       L"./vite",
       {L"C:\\a\\vite.CMD", L"C:\\here\\./vite.CMD"},
       L"C:\\here\\./vite.CMD"},
      {"relative, the current folder skipped",
       searching(L"C:\\a", L"", true),
       L"bin\\x",
       {L"C:\\here\\bin\\x.EXE"},
       L"C:\\here\\bin\\x.EXE"},
      {"absolute",
       kUsual,
       L"D:\\tools\\npm",
       {L"C:\\here\\D:\\tools\\npm.CMD", L"D:\\tools\\npm.CMD"},
       L"D:\\tools\\npm.CMD"},
      {"rooted", kUsual, L"\\tools\\npm.cmd", {L"\\tools\\npm.cmd"}, L"\\tools\\npm.cmd"},
      {"a drive alone", kUsual, L"D:npm", {L"C:\\a\\npm.EXE", L"D:npm.EXE"}, L"D:npm.EXE"},
      {"a folder, not a file", kUsual, L"C:\\a\\", {L"C:\\a\\.EXE"}, std::nullopt},
  };
  for (const Case& c : cases)
    expectFinds(c);
}

TEST(FindCommand, ReadsPathAndPathExtAsTheShellDoes) {
  const Case cases[] = {
      {"blank entries skipped",
       searching(L";  ;C:\\b;;"),
       L"npm",
       {L"C:\\b\\npm.CMD"},
       L"C:\\b\\npm.CMD"},
      {"quotes dropped",
       searching(L"\"C:\\Program Files\\nodejs\""),
       L"npm",
       {L"C:\\Program Files\\nodejs\\npm.CMD"},
       L"C:\\Program Files\\nodejs\\npm.CMD"},
      {"a ';' between quotes",
       searching(L"C:\\a;\"C:\\odd;name\";C:\\b"),
       L"npm",
       {L"C:\\odd;name\\npm.CMD"},
       L"C:\\odd;name\\npm.CMD"},
      {"a trailing separator kept single",
       searching(L"D:/b/;C:\\a\\"),
       L"npm",
       {L"C:\\a\\npm.CMD", L"D:/b/npm.CMD"},
       L"D:/b/npm.CMD"},
      {"a current folder ending in a separator",
       searching(L"", L"", false, L"C:\\here\\"),
       L"npm",
       {L"C:\\here\\npm.CMD"},
       L"C:\\here\\npm.CMD"},
      {"PATHEXT in its order",
       searching(L"C:\\a", L".PS1;.EXE"),
       L"x",
       {L"C:\\a\\x.EXE", L"C:\\a\\x.PS1"},
       L"C:\\a\\x.PS1"},
      {"PATHEXT narrows the search",
       searching(L"C:\\a", L".EXE"),
       L"x",
       {L"C:\\a\\x.CMD"},
       std::nullopt},
      {"PATHEXT with blanks",
       searching(L"C:\\a", L";;.CMD;"),
       L"x",
       {L"C:\\a\\x.CMD"},
       L"C:\\a\\x.CMD"},
      {"PATHEXT listing nothing",
       searching(L"C:\\a", L" ; "),
       L"x",
       {L"C:\\a\\x.BAT"},
       L"C:\\a\\x.BAT"},
  };
  for (const Case& c : cases)
    expectFinds(c);
}

TEST(IsBatchFile, KnowsBatAndCmdInAnyCase) {
  const std::pair<std::wstring, bool> cases[] = {
      {L"C:\\a\\npm.cmd", true},  {L"C:\\a\\NPM.CMD", true},
      {L"C:\\a\\run.Bat", true},  {L"C:\\a\\run.bat. .", true},
      {L"C:\\a\\npm.exe", false}, {L"C:\\a\\npm", false},
      {L"C:\\a\\x.cmdx", false},  {L"C:\\a\\xcmd", false},
      {L"C:\\a.cmd\\npm", false}, {L"", false},
  };
  for (const auto& [path, batch] : cases)
    EXPECT_EQ(isBatchFile(path), batch) << std::string(path.begin(), path.end());
}

}  // namespace
}  // namespace varnick::control
