// Cursors, message boxes, the code page, and network drive connections.
#include "platform/user.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/handles.h"
#include "platform/netdrive.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using namespace zel::platform;

TEST(Cursors, TheWaitCursorIsShownAndTheOldOneRestored) {
  HCURSOR arrow = LoadCursor(0, IDC_ARROW);
  HCURSOR wait = LoadCursor(0, IDC_WAIT);
  ASSERT_NE(arrow, 0u);
  ASSERT_NE(wait, 0u);
  EXPECT_NE(arrow, wait);
  EXPECT_EQ(GetCursor(), arrow);
  HCURSOR previous = SetCursor(wait);
  EXPECT_EQ(previous, arrow);
  EXPECT_EQ(GetCursor(), wait);
  EXPECT_EQ(SetCursor(previous), wait);
  EXPECT_EQ(GetCursor(), arrow);
  EXPECT_EQ(LoadCursor(0, 1234), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(LoadCursor(5, IDC_WAIT), 0u);
}

// Standard error of this process, captured for the life of the object.
class StderrCapture {
 public:
  StderrCapture() : saved_(dup(2)) {
    int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    close(file);
  }
  ~StderrCapture() {
    dup2(saved_, 2);
    close(saved_);
  }
  std::string Text() const {
    std::ifstream file(path_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  std::string path_ = TestPath("stderr.txt");
  int saved_;
};

TEST(MessageBoxes, GoToTheTraceAndStandardErrorAndKeepTheirStyle) {
  MessageBoxRecord record;
  EXPECT_FALSE(GetLastMessageBox(&record));
  TraceCapture trace;
  int answer;
  std::string errors;
  {
    StderrCapture capture;
    answer = MessageBox(GetFocus(), "Request processor not found", "MM APIs",
                        MB_ICONSTOP | MB_RTLREADING | MB_RIGHT);
    errors = capture.Text();
  }
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(errors, "MessageBox [MM APIs] Request processor not found (style 0x180010)\n");
  EXPECT_TRUE(trace.Traced("MM APIs"));
  EXPECT_TRUE(trace.TracedValue("MessageBox style=", 0x180010));
  ASSERT_TRUE(GetLastMessageBox(&record));
  EXPECT_EQ(record.owner, 0u);
  EXPECT_EQ(record.style, 0x180010u);
  EXPECT_EQ(record.text, "Request processor not found");
  EXPECT_EQ(record.caption, "MM APIs");

  StderrCapture quiet;
  EXPECT_EQ(MessageBox(0, "?", nullptr, MB_YESNO), IDYES);
  EXPECT_EQ(MessageBox(0, "?", "", MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
  EXPECT_EQ(MessageBox(0, nullptr, "", MB_RETRYCANCEL | MB_DEFBUTTON2), IDCANCEL);
  EXPECT_EQ(MessageBox(0, "", "", MB_OK | MB_DEFBUTTON3), IDOK);
}

TEST(CodePage, IsTheConfiguredAnsiCodePage) {
  unsetenv("ZEL_PC_CODEPAGE");
  EXPECT_EQ(GetACP(), 1252u);
  setenv("ZEL_PC_CODEPAGE", "1256", 1);
  EXPECT_EQ(GetACP(), 1256u);
  setenv("ZEL_PC_CODEPAGE", "arabic", 1);
  EXPECT_EQ(GetACP(), 1252u);
}

// ---- Network drives -------------------------------------------------------------

// Every connection as "X: remote", in enumeration order.
std::vector<std::string> Connections(DWORD buffer_size = 16384) {
  HANDLE enumeration = 0;
  EXPECT_EQ(WNetOpenEnum(RESOURCE_CONNECTED, RESOURCETYPE_DISK, 0, nullptr, &enumeration),
            NO_ERROR);
  std::vector<std::string> found;
  std::vector<char> buffer(buffer_size);
  for (int calls = 0; calls < 100; ++calls) {
    DWORD count = kEnumAll;
    DWORD size = buffer_size;
    DWORD result = WNetEnumResource(enumeration, &count, buffer.data(), &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(result, NO_ERROR);
    if (result != NO_ERROR) break;
    auto* entries = reinterpret_cast<NETRESOURCE*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
      EXPECT_EQ(entries[i].dwType, RESOURCETYPE_DISK);
      found.push_back(std::string(entries[i].lpLocalName) + " " + entries[i].lpRemoteName);
    }
  }
  EXPECT_EQ(WNetCloseEnum(enumeration), NO_ERROR);
  return found;
}

NETRESOURCE Disk(const char* local, const char* remote) {
  return NETRESOURCE{
      0,      RESOURCETYPE_DISK, 0, 0, const_cast<char*>(local), const_cast<char*>(remote), nullptr,
      nullptr};
}

ZEL_CHILD_COMMAND(list_connections) {
  for (const std::string& connection : Connections()) child::Report(connection);
  child::Report("drives " + std::to_string(GetLogicalDrives()));
  return 0;
}

TEST(NetworkDrives, ConnectionsAreSharedByTheInstanceAndShowInTheDriveMask) {
  EXPECT_EQ(GetLogicalDrives(), 1u << 2) << "C: only";
  EXPECT_TRUE(Connections().empty());
  NETRESOURCE d = Disk("d:", "/srv/QZELSYS/QXEN");
  EXPECT_EQ(WNetAddConnection2(&d, "password", "USER", 0), NO_ERROR);
  NETRESOURCE e = Disk("E:", "/srv/share");
  EXPECT_EQ(WNetAddConnection2(&e, nullptr, nullptr, 0), NO_ERROR);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4));
  EXPECT_EQ(Connections(),
            (std::vector<std::string>{"D: /srv/QZELSYS/QXEN", "E: /srv/share"}));

  ChildProcess other = ChildProcess::Start("list_connections");
  EXPECT_EQ(other.ReadLine(), "D: /srv/QZELSYS/QXEN");
  EXPECT_EQ(other.ReadLine(), "E: /srv/share");
  EXPECT_EQ(other.ReadLine(), "drives 28");
  EXPECT_EQ(other.Wait(), 0);

  EXPECT_EQ(WNetCancelConnection2("D:", 0, false), NO_ERROR);
  EXPECT_EQ(WNetCancelConnection2("D:", 0, false), ERROR_NOT_CONNECTED);
  EXPECT_EQ(Connections(), (std::vector<std::string>{"E: /srv/share"}));
}

TEST(NetworkDrives, AConnectedLetterIsALinkToItsFolderInTheInstancesStateFolder) {
  std::string folder = TestPath("shared");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::ofstream(folder + "/file.txt") << "contents";
  NETRESOURCE j = Disk("J:", folder.c_str());
  ASSERT_EQ(WNetAddConnection2(&j, nullptr, nullptr, 0), NO_ERROR);
  std::string link = TestPath("zel/" + Instance() + "/drives/J");
  std::string text;
  std::ifstream(link + "/file.txt") >> text;
  EXPECT_EQ(text, "contents");
  EXPECT_EQ(WNetCancelConnection2("J:", 0, false), NO_ERROR);
  EXPECT_FALSE(std::ifstream(link + "/file.txt").is_open());
  EXPECT_EQ(std::ifstream(folder + "/file.txt").is_open(), true) << "the folder itself stays";
}

TEST(NetworkDrives, RefusesBadNamesAndLettersInUse) {
  NETRESOURCE c = Disk("C:", "/srv/share");
  EXPECT_EQ(WNetAddConnection2(&c, nullptr, nullptr, 0), ERROR_ALREADY_ASSIGNED);
  NETRESOURCE f = Disk("F:", "/srv/share");
  EXPECT_EQ(WNetAddConnection2(&f, nullptr, nullptr, 0), NO_ERROR);
  EXPECT_EQ(WNetAddConnection2(&f, nullptr, nullptr, 0), ERROR_ALREADY_ASSIGNED);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_ASSIGNED);
  for (const char* local : {"G", "GG:", "1:", ""}) {
    NETRESOURCE bad = Disk(local, "/srv/share");
    EXPECT_EQ(WNetAddConnection2(&bad, nullptr, nullptr, 0), ERROR_BAD_DEVICE) << local;
  }
  for (const char* remote : {"srv/share", "\\\\host\\share", ""}) {
    NETRESOURCE bad = Disk("G:", remote);
    EXPECT_EQ(WNetAddConnection2(&bad, nullptr, nullptr, 0), ERROR_BAD_NET_NAME) << remote;
  }
  NETRESOURCE printer = Disk("G:", "/srv/share");
  printer.dwType = RESOURCETYPE_PRINT;
  EXPECT_EQ(WNetAddConnection2(&printer, nullptr, nullptr, 0), ERROR_INVALID_PARAMETER);

  HANDLE enumeration = 0;
  EXPECT_EQ(WNetOpenEnum(2, RESOURCETYPE_DISK, 0, nullptr, &enumeration), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(WNetCloseEnum(12345), ERROR_INVALID_HANDLE);
}

TEST(NetworkDrives, AnEnumerationBufferTooSmallForOneEntryAsksForMore) {
  NETRESOURCE h = Disk("H:", "/srv/a/rather/long/remote/path");
  ASSERT_EQ(WNetAddConnection2(&h, nullptr, nullptr, 0), NO_ERROR);
  NETRESOURCE i = Disk("I:", "/srv/b");
  ASSERT_EQ(WNetAddConnection2(&i, nullptr, nullptr, 0), NO_ERROR);
  HANDLE enumeration = 0;
  ASSERT_EQ(WNetOpenEnum(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0, nullptr, &enumeration), NO_ERROR);
  alignas(NETRESOURCE) char small[40];
  DWORD count = kEnumAll;
  DWORD size = sizeof small;
  EXPECT_EQ(WNetEnumResource(enumeration, &count, small, &size), ERROR_MORE_DATA);
  EXPECT_GT(size, sizeof small);
  std::vector<char> enough(size);
  count = 1;
  EXPECT_EQ(WNetEnumResource(enumeration, &count, enough.data(), &size), NO_ERROR);
  EXPECT_EQ(count, 1u);
  EXPECT_STREQ(reinterpret_cast<NETRESOURCE*>(enough.data())->lpLocalName, "H:");
  EXPECT_EQ(WNetCloseEnum(enumeration), NO_ERROR);
  // One entry per call with a buffer that holds only one.
  EXPECT_EQ(
      Connections(size),
      (std::vector<std::string>{"H: /srv/a/rather/long/remote/path", "I: /srv/b"}));
}

}  // namespace
}  // namespace zel::test
