// The installed tree as a user gets it: this build installed into a
// temporary prefix and then moved as a whole, so that nothing in it may
// remember where it was installed. The examples build out of tree against
// it, once with CMake and once with pkg-config, and the synchronous example
// calls the installed zelhost with ZEL_HOME unset.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "base/config.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

namespace fs = std::filesystem;

constexpr char kSystem[] = "ZELSYS";
constexpr Millis kToolTimeout = 150s;

// Runs PROGRAM (looked up on PATH) with its arguments; standard output and
// error go to the files named by the first two arguments.
ZEL_CHILD_COMMAND(run_program) {
  int out = open(args[0].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(args[1].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
    return 126;
  }
  std::vector<const char*> argv;
  for (size_t i = 2; i < args.size(); ++i) argv.push_back(args[i].c_str());
  argv.push_back(nullptr);
  execvp(argv[0], const_cast<char* const*>(argv.data()));
  return 127;
}

struct Ran {
  int code;
  std::string out;
  std::string err;
};

// Runs `argv`, with `env` added to the environment; `name` names its output
// files in the test directory.
Ran RunTool(const std::string& name, std::vector<std::string> argv, ChildProcess::Env env = {}) {
  std::string out = TestPath(name + ".out");
  std::string err = TestPath(name + ".err");
  argv.insert(argv.begin(), {out, err});
  ChildProcess program = ChildProcess::Start("run_program", std::move(argv), std::move(env));
  int code = program.Wait(kToolTimeout);
  return {code, ReadFile(out), ReadFile(err)};
}

// The values of the `tag` entries ("SONAME", "RUNPATH") of an ELF file's
// dynamic section, as readelf shows them.
std::vector<std::string> DynamicEntries(const std::string& file, const std::string& tag) {
  Ran readelf = RunTool("readelf", {"readelf", "-d", file});
  EXPECT_EQ(readelf.code, 0) << file << ": " << readelf.err;
  std::vector<std::string> values;
  std::regex entry("\\(" + tag + "\\)[^\\[]*\\[([^\\]]*)\\]");
  for (std::sregex_iterator it(readelf.out.begin(), readelf.out.end(), entry), end; it != end;
       ++it) {
    values.push_back((*it)[1]);
  }
  return values;
}

bool IsElf(const fs::path& file) {
  constexpr char kElfMagic[4] = {0x7f, 'E', 'L', 'F'};
  char magic[4] = {};
  std::ifstream(file, std::ios::binary).read(magic, sizeof magic);
  return std::memcmp(magic, kElfMagic, sizeof magic) == 0;
}

class InstalledTree : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ZEL_HOME");
    UseTestManager();
    Ran install = RunTool("install", {ZEL_CMAKE_COMMAND, "--install", ZEL_BUILD_DIR, "--prefix",
                                      TestPath("staging")});
    ASSERT_EQ(install.code, 0) << install.out << install.err;
    fs::rename(TestPath("staging"), TestPath("prefix"));
    prefix_ = fs::canonical(TestPath("prefix")).string();
  }

  std::string LibDir() const { return prefix_ + "/" ZEL_INSTALL_LIBDIR; }
  std::string Examples() const { return prefix_ + "/share/doc/zelcomm/examples"; }

  // Runs the synchronous example `program` against the installed zelhost.
  void ExpectEchoFromInstalledTree(const std::string& program) {
    HostServer host({}, 0, prefix_ + "/bin/zelhost");
    ASSERT_TRUE(host.running());
    host.Configure(kSystem);
    std::string trace = TestPath("trace.log");
    Ran call =
        RunTool("sync_call", {program, kSystem, "ECHO", "hello, host"}, {{"ZEL_TRACE", trace}});
    ASSERT_EQ(call.code, 0) << call.out << call.err << ManagerLog();
    EXPECT_TRUE(std::regex_match(
        call.out, std::regex("reply: RID S[0-9]{4}[A-Z]{3}[0-9]{3}, value 0, 11 bytes\n"
                             "hello, host\n")))
        << call.out;
    EXPECT_EQ(call.err, "");
    // The library found the package directory beside itself and started
    // the manager from there.
    EXPECT_NE(ReadFile(trace).find(LibDir() + "/zelcomm/SHARED/VQZMCMW.EXE /API"),
              std::string::npos)
        << "the manager was not started from " << LibDir();
  }

  std::string prefix_;
};

TEST_F(InstalledTree, LibrariesHaveVersionedNamesAndEveryRunPathLeadsToTheLibraryDirectory) {
  std::string major = ZEL_VERSION_MAJOR;
  for (const char* name : {"vqzmcsw", "zelplat", "qlx", "vqzmbtw"}) {
    std::string library = LibDir() + "/lib" + name + ".so";
    EXPECT_EQ(fs::read_symlink(library), "lib" + std::string(name) + ".so." + major);
    EXPECT_EQ(fs::read_symlink(library + "." + major),
              "lib" + std::string(name) + ".so." ZEL_VERSION);
    EXPECT_EQ(DynamicEntries(library, "SONAME"),
              std::vector<std::string>{"lib" + std::string(name) + ".so." + major});
  }
  int elf_files = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(prefix_)) {
    if (!entry.is_regular_file() || entry.is_symlink() || !IsElf(entry.path())) continue;
    ++elf_files;
    std::string file = entry.path().string();
    std::vector<std::string> runpath = DynamicEntries(file, "RUNPATH");
    ASSERT_EQ(runpath.size(), 1u) << file;
    std::string origin = "$ORIGIN";
    ASSERT_EQ(runpath[0].substr(0, origin.size()), origin) << file << ": " << runpath[0];
    fs::path resolved = entry.path().parent_path().string() + runpath[0].substr(origin.size());
    EXPECT_EQ(fs::canonical(resolved), fs::path(LibDir())) << file << ": " << runpath[0];
  }
  // bin/ (zelhost, zeldemo), libdir (4), SHARED/ (2), msg/, lib/.
  EXPECT_GE(elf_files, 10);
}

TEST_F(InstalledTree, ExamplesBuiltWithCMakeCallTheInstalledHostWithoutZelHome) {
  std::string build = TestPath("examples-cmake");
  Ran configure = RunTool(
      "configure", {ZEL_CMAKE_COMMAND, "-S", Examples(), "-B", build,
                    "-DCMAKE_PREFIX_PATH=" + prefix_, "-DCMAKE_C_FLAGS=" ZEL_EXAMPLE_CFLAGS});
  ASSERT_EQ(configure.code, 0) << configure.out << configure.err;
  Ran make = RunTool("build", {ZEL_CMAKE_COMMAND, "--build", build});
  ASSERT_EQ(make.code, 0) << make.out << make.err;
  for (const char* program : {"async_echo", "pc_program"}) {
    EXPECT_TRUE(fs::exists(build + "/" + program)) << program;
  }
  ExpectEchoFromInstalledTree(build + "/sync_call");
}

TEST_F(InstalledTree, ExamplesBuiltWithPkgConfigCallTheInstalledHostWithoutZelHome) {
  std::string build = TestPath("examples-make");
  fs::copy(Examples(), build);
  Ran make = RunTool("make", {"make", "-C", build, "PKG_CONFIG_PATH=" + LibDir() + "/pkgconfig",
                              "CFLAGS=-O2 -Wall -Wextra " ZEL_EXAMPLE_CFLAGS});
  ASSERT_EQ(make.code, 0) << make.out << make.err;
  for (const char* program : {"async_echo", "pc_program"}) {
    EXPECT_TRUE(fs::exists(build + "/" + program)) << program;
  }
  ExpectEchoFromInstalledTree(build + "/sync_call");
}

TEST_F(InstalledTree, ManualPagesRenderWithoutWarnings) {
  for (const char* page : {"zel.1", "zelhost.1"}) {
    Ran groff =
        RunTool("groff", {"groff", "-man", "-ww", "-z", prefix_ + "/share/man/man1/" + page});
    EXPECT_EQ(groff.code, 0) << page;
    EXPECT_EQ(groff.err, "") << page;
  }
}

// The installation directory as this program's own copy of the
// configuration finds it without ZEL_HOME.
ZEL_CHILD_COMMAND(print_home) {
  unsetenv("ZEL_HOME");
  child::Report(config::Home());
  return 0;
}

TEST(DefaultHome, AProgramInBindirOrLibdirFindsThePackageDirectoryAndOneInTheBuildTreeItsTop) {
  fs::path tree = TestPath("tree");
  fs::path package = tree / ZEL_INSTALL_LIBDIR / "zelcomm";
  fs::create_directories(package);
  fs::create_directories(tree / "bin");
  for (const fs::path& folder : {tree / "bin", tree / ZEL_INSTALL_LIBDIR}) {
    fs::copy_file("/proc/self/exe", folder / "program");
    ChildProcess program = ChildProcess::Start("print_home", {}, {}, folder / "program");
    EXPECT_EQ(program.ReadLine().value_or("(nothing)"), fs::canonical(package).string()) << folder;
    EXPECT_EQ(program.Wait(), 0);
  }
  ChildProcess program = ChildProcess::Start("print_home");
  EXPECT_EQ(program.ReadLine().value_or("(nothing)"), fs::canonical(ZEL_BUILD_DIR).string());
  EXPECT_EQ(program.Wait(), 0);
}

// The options that `command --help` names and `page` does not.
std::vector<std::string> Unnamed(const std::vector<std::string>& command, const std::string& page) {
  Ran help = RunTool("help", command);
  EXPECT_EQ(help.code, 0) << help.err;
  std::string text =
      std::regex_replace(ReadFile(ZEL_SOURCE_DIR "/man/" + page), std::regex("\\\\-"), "-");
  EXPECT_FALSE(text.empty()) << page;
  std::vector<std::string> missing;
  std::regex option("--[a-z][a-z-]*");
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end; ++it) {
    if (text.find(it->str()) == std::string::npos) missing.push_back(it->str());
  }
  EXPECT_TRUE(std::regex_search(help.out, option)) << "no option in the help of " << command[0];
  return missing;
}

TEST(ManualPages, NameEveryOptionTheProgramsHelpNames) {
  EXPECT_EQ(Unnamed({ZelhostBinary(), "--help"}, "zelhost.1"), std::vector<std::string>{});
  const std::string zel = std::string(ZEL_BUILD_DIR) + "/bin/zel";
  for (const char* command : {"status", "call", "stop", "trace", "doctor"}) {
    EXPECT_EQ(Unnamed({zel, command, "--help"}, "zel.1"), std::vector<std::string>{}) << command;
  }
}

}  // namespace
}  // namespace zel::test
