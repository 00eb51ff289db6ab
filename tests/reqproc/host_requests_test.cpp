// Host requests from end to end: a host program (zelhost's CALLPC) asks a PC
// program for work through the real communication manager of this build,
// which hands each request to the request processor SHARED/VQZMCTW.DLL. The
// test process is CALLPC's requester; the PC programs are this binary run
// as child commands, started by the processor or registered by a child.
#include <limits.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/request_data.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcb.h"
#include "vqzmcsw.h"
#include "vqzmctw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kRequestMessage = 0x500;
// What CALLPC answers for a malformed request or return, and when the PC
// program is silent past zelhost's wait.
constexpr int kHostBadRequest = 0x7002;
constexpr int kHostNoAnswer = 0x7003;
// What the host sees of the manager's error return for 1026.
constexpr int kInternalErrorToHost = 0x8404;

std::string SelfPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

// The example PC program of this build (examples/pc_program).
std::string ExamplePath() {
  std::string self = SelfPath();
  std::string tests = self.substr(0, self.rfind('/'));
  return tests.substr(0, tests.rfind('/')) + "/examples/pc_program";
}

// ---- The PC programs ----

// The example PC program, registered for args[0], serving args[1] requests.
ZEL_CHILD_COMMAND(registered_example) {
  std::string example = ExamplePath();
  execl(example.c_str(), example.c_str(), "--register", args[0].c_str(), args[1].c_str(),
        static_cast<char*>(nullptr));
  return 127;
}

// The data of the host request `rid` (its data version in `version`);
// nothing when it cannot be had.
std::optional<std::string> Retrieve(const std::string& rid, uint32_t* version = nullptr) {
  RtvDataParms parms{};
  parms.pRID = rid.c_str();
  parms.ulTimeout = 30;
  RtvDataResult result{};
  if (caRtvData(&parms, &result) != 0) return std::nullopt;
  std::string data(static_cast<const char*>(result.pData), result.ulDataLen);
  zelFreeBlock(result.pData);
  if (version != nullptr) *version = result.ulDataVersion;
  return data;
}

// Answers under the key type byte `type` (0: the default "X").
uint16_t Answer(const std::string& rid, std::string data, uint32_t value, uint8_t type = 0,
                uint32_t version = 0) {
  ReturnDataParms parms{};
  parms.pRID = rid.c_str();
  parms.ulValue = value;
  parms.ulDataVersion = version;
  parms.pData = data.data();
  parms.ulDataLen = static_cast<uint32_t>(data.size());
  return caReturnData(&parms, &type, type);
}

// A packet in the PC's form: little-endian length, format and code point.
std::string PcPacket(uint16_t format, uint16_t code_point, const std::string& data) {
  uint32_t length = static_cast<uint32_t>(8 + data.size());
  std::string packet(8, '\0');
  memcpy(packet.data(), &length, 4);
  memcpy(packet.data() + 4, &format, 2);
  memcpy(packet.data() + 6, &code_point, 2);
  return packet + data;
}

// What the requester hands CALLPC for the PC program, and what the PC
// program answers: every format, odd lengths, Latin-1 letters, and a packet
// of a header only.
std::string RequestPackets() {
  return PcPacket(1, 0x1234, "caf\xE9 for the PC, \xFC!") +
         PcPacket(2, 0x0102, "\x01\x02\x03\x04\x05") +
         PcPacket(3, 0xBEEF, std::string("\x01\x02\x03\x04\x05\x06", 6)) +
         PcPacket(0, 7, std::string("\x00\xFF\x10 raw", 7)) + PcPacket(1, 9, "");
}
std::string AnswerPackets() {
  return PcPacket(3, 0x4321, std::string("\x10\x20\x30\x40\x50\x60\x70\x80", 8)) +
         PcPacket(1, 0x0001, "answered \xC4 by the PC") + PcPacket(2, 0xFFFF, std::string(4, '\0'));
}

// A value that tells the test the request did not reach the program whole.
constexpr uint32_t kBadRequest = 9999;

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// A configured program, started per request. "echo" answers with the data
// and value it was given ("typed T" too, under the key type byte T), "code N"
// with the value N and no data, "packets" with AnswerPackets() as packet data
// once its request held RequestPackets() as packet data; "exit", "crash" and
// "silent" never answer.
ZEL_CHILD_COMMAND(pc_program) {
  std::string mode = args.empty() ? "" : args[0];
  if (mode == "exit") return 3;
  if (mode == "crash") {
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    // A plain death by the signal, not a sanitizer's report of one.
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
  }
  if (mode == "silent") {
    // Ended by the processor at its time-out; the sleep only bounds it.
    std::this_thread::sleep_for(120s);
    return 0;
  }
  std::string rid = Env("ZEL_REQUEST_RID");
  uint32_t version = 0;
  std::optional<std::string> data = Retrieve(rid, &version);
  if (!data) return 4;
  bool whole = Env("ZEL_REQUEST_LENGTH") == std::to_string(data->size()) &&
               Env("ZEL_REQUEST_PROGRAM") == "PCPGM" &&
               Env("ZEL_REQUEST_VERSION") == std::to_string(version);
  uint32_t value = static_cast<uint32_t>(std::stoul(Env("ZEL_REQUEST_VALUE")));
  if (mode == "code") return Answer(rid, {}, whole ? std::stoul(args[1]) : kBadRequest);
  if (mode == "packets") {
    if (!whole || version != 1 || *data != RequestPackets()) return Answer(rid, {}, kBadRequest);
    return Answer(rid, AnswerPackets(), value, 0, 1);
  }
  uint8_t type = mode == "typed" ? static_cast<uint8_t>(args[1][0]) : 0;
  return Answer(rid, *data, whole ? value : kBadRequest, type);
}

// A running program registered for NAME: it serves COUNT requests (echo),
// reports "served N", then follows "unregister" and "end".
ZEL_CHILD_COMMAND(registered_program) {
  std::string name = args[0];
  int count = std::stoi(args[1]);
  uint32_t hwnd = 0;
  zelCreateWindow(&hwnd);
  child::Report("registered " +
                std::to_string(crRegisterProgram(name.c_str(), hwnd, kRequestMessage)));
  int served = 0;
  for (int messages = 0; served < count && messages < 10 * count; ++messages) {
    ZelMessage msg{};
    if (zelWaitMessage(hwnd, 60'000, &msg) != 0) break;
    if (msg.message != kRequestMessage) continue;
    auto* block = reinterpret_cast<CrRequestBlock*>(msg.lParam);
    std::string rid(block->achRID, ZEL_RID_LEN);
    uint32_t value = block->ulValue, length = block->ulDataLen;
    bool named = strcasecmp(name.c_str(), block->szPgmName) == 0;
    zelFreeBlock(block);
    std::optional<std::string> data = Retrieve(rid);
    if (!data) break;
    bool whole = named && data->size() == length;
    if (Answer(rid, *data, whole ? value : kBadRequest) == 0) ++served;
  }
  child::Report("served " + std::to_string(served));
  for (int commands = 0; commands < 10; ++commands) {
    std::optional<std::string> line = child::Receive(60s);
    if (!line || *line == "end") break;
    if (*line == "unregister") {
      child::Report(std::to_string(crUnregisterProgram(name.c_str())));
    }
  }
  zelDestroyWindow(hwnd);
  return 0;
}

// ---- The requester ----

struct Reply {
  int rc = -1;
  uint32_t value = 0;
  uint32_t version = 0;
  std::string data;
  Clock::duration took{};
};

// CALLPC asks the PC program `program` for work with `data` and `value`, over
// conversation `conv`.
Reply CallPc(uint32_t conv, const std::string& program, const std::string& data, uint32_t value,
             uint32_t version = 0) {
  std::string request = program + std::string(1, '\0') + data;
  ProcessRequest parms{};
  parms.ulConvId = conv;
  std::snprintf(parms.szPgmName, sizeof parms.szPgmName, "CALLPC");
  parms.ulValue = value;
  parms.ulDataVersion = version;
  parms.pData = request.data();
  parms.ulDataLen = static_cast<uint32_t>(request.size());
  parms.ulTimeout = 60;
  ProcessReply reply_parms{};
  Clock::time_point begin = Clock::now();
  Reply reply;
  reply.rc = caProcessSync(&parms, &reply_parms);
  reply.took = Clock::now() - begin;
  reply.value = reply_parms.ulValue;
  reply.version = reply_parms.ulDataVersion;
  reply.data.assign(static_cast<const char*>(reply_parms.pData), reply_parms.ulDataLen);
  zelFreeBlock(reply_parms.pData);
  return reply;
}

class HostRequests : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    Configure("program PCPGM " + SelfPath() + " --child pc_program echo\n");
    ASSERT_EQ(caInitializeZELComm("HOSTA", 0, 0, 0, &conv_, 0), 0) << ManagerLog();
  }
  void TearDown() override { caStopZELComm(conv_); }

  // The configuration the processor reads at the next request.
  void Configure(const std::string& lines) { host_.Configure("HOSTA", lines); }

  Reply CallPc(const std::string& program, const std::string& data, uint32_t value,
               uint32_t version = 0) {
    return test::CallPc(conv_, program, data, value, version);
  }

  HostServer host_{{"--pc-answer-timeout", "30"}};
  uint32_t conv_ = 0;
};

TEST_F(HostRequests, AConfiguredProgramAnswersWithDataByteForByteOrWithAValue) {
  for (uint32_t size : {0u, 1u, 20000u}) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string data = Pattern(size, size);
    Reply reply = CallPc("PCPGM", data, size + 5);
    ASSERT_EQ(reply.rc, 0) << host_.LogText();
    EXPECT_EQ(reply.value, size + 5);
    EXPECT_TRUE(reply.data == data) << "got " << reply.data.size() << " bytes";
  }
  Configure("program PCPGM " + SelfPath() + " --child pc_program typed Q\n");
  Reply typed = CallPc("PCPGM", "under Q", 6);
  EXPECT_EQ(typed.rc, 0);
  EXPECT_EQ(typed.data, "under Q");
  // The type byte travels: one that keys the host's own entries is refused.
  Configure("program PCPGM " + SelfPath() + " --child pc_program typed S\n");
  EXPECT_EQ(CallPc("PCPGM", "under S", 6).rc, kHostBadRequest) << host_.LogText();

  Configure("program pcpgm " + SelfPath() + " --child pc_program code 77\n");
  Reply code = CallPc("PCPGM", "abc", 1);
  EXPECT_EQ(code.rc, 0);
  EXPECT_EQ(code.value, 77u) << "names match whatever their case";
  EXPECT_TRUE(code.data.empty());
  // Each program ended once it had answered: the processor knew it had, so
  // no answer of its own followed (zelhost would log one as dropped).
  EXPECT_EQ(host_.LogText().find("for no call of a PWS program dropped"), std::string::npos)
      << host_.LogText();
}

TEST_F(HostRequests, AMissingCrashingOrSilentProgramIsAnsweredWithinItsTimeOut) {
  struct Case {
    const char* command;
    int rc;
    uint32_t value;
  };
  std::string self = SelfPath();
  for (const Case& c : {Case{"/no/such/program", 0x8412, 0},
                        Case{"--child pc_program exit", 0, CR_RC_PROGRAM_ENDED},
                        Case{"--child pc_program crash", 0, CR_RC_PROGRAM_ENDED},
                        Case{"--child pc_program silent", 0, CR_RC_PROGRAM_TIMEOUT}}) {
    SCOPED_TRACE(c.command);
    std::string command = c.command[0] == '/' ? c.command : self + " " + c.command;
    Configure("program-timeout 2\nprogram PCPGM " + command + "\n");
    Reply reply = CallPc("PCPGM", "data", 3);
    EXPECT_EQ(reply.rc, c.rc) << host_.LogText();
    EXPECT_EQ(reply.value, c.value);
    EXPECT_LT(reply.took, 20s) << "zelhost would answer 0x7003 only after 30 s";
  }
}

TEST_F(HostRequests, AnUnknownNameIsRefusedAtOnceAndZelhostsOwnWaitEndsASilentCall) {
  Reply unknown = CallPc("NOSUCHPGM", "x", 1);
  EXPECT_EQ(unknown.rc, VQZM_RC_PROGRAM_NOT_REGISTERED);
  EXPECT_LT(unknown.took, 10s);

  HostServer impatient({"--pc-answer-timeout", "1"});
  ASSERT_TRUE(impatient.running());
  caStopZELComm(conv_);
  impatient.Configure("HOSTB", "program PCPGM " + SelfPath() + " --child pc_program silent\n");
  ASSERT_EQ(caInitializeZELComm("HOSTB", 0, 0, 0, &conv_, 0), 0);
  Reply silent = CallPc("PCPGM", "x", 1);
  EXPECT_EQ(silent.rc, kHostNoAnswer);
  EXPECT_LT(silent.took, 20s);
}

TEST_F(HostRequests, ARegisteredProgramServesAHundredRequestsInARowUntilItGoes) {
  ChildProcess program = ChildProcess::Start("registered_program", {"PcReg", "100"});
  ASSERT_EQ(program.ReadLine(), "registered 0");
  EXPECT_NE(cbRet3rdPartyFromPgmID("PCREG"), nullptr) << "kept in the 3rd-party list";
  for (uint32_t i = 0; i < 100; ++i) {
    std::string data = Pattern(i * 97, i);
    Reply reply = CallPc("PCREG", data, i);
    ASSERT_EQ(reply.rc, 0) << "request " << i << "\n" << host_.LogText();
    ASSERT_EQ(reply.value, i);
    ASSERT_TRUE(reply.data == data) << "request " << i;
  }
  EXPECT_EQ(program.ReadLine(), "served 100");
  uint32_t mine = 0;
  ASSERT_EQ(zelCreateWindow(&mine), 0);
  EXPECT_EQ(crRegisterProgram("pcreg", mine, kRequestMessage), VQZM_RC_PROGRAM_REGISTERED);
  zelDestroyWindow(mine);

  program.Send("unregister");
  EXPECT_EQ(program.ReadLine(), "0");
  EXPECT_EQ(cbRet3rdPartyFromPgmID("PCREG"), nullptr);
  EXPECT_EQ(CallPc("PCREG", "x", 1).rc, VQZM_RC_PROGRAM_NOT_REGISTERED);
  program.Send("end");
  EXPECT_EQ(program.Wait(), 0);
}

TEST_F(HostRequests, TheExamplePcProgramServesStartedPerRequestAndRegistered) {
  Configure("program PCEXAMPLE " + ExamplePath() + "\n");
  Reply started = CallPc("PCEXAMPLE", "hello, example", 9);
  EXPECT_EQ(started.rc, 0) << host_.LogText();
  EXPECT_EQ(started.value, 9u);
  EXPECT_EQ(started.data, "hello, example");

  ChildProcess program = ChildProcess::Start("registered_example", {"PCEXREG", "2"});
  ASSERT_TRUE(Eventually([] { return cbRet3rdPartyFromPgmID("PCEXREG") != nullptr; }));
  for (uint32_t i = 0; i < 2; ++i) {
    std::string data = Pattern(20000 + i, i);
    Reply reply = CallPc("PCEXREG", data, i);
    EXPECT_EQ(reply.rc, 0);
    EXPECT_EQ(reply.value, i);
    EXPECT_TRUE(reply.data == data) << "request " << i;
  }
  EXPECT_EQ(program.Wait(), 0) << "the example ends once it has served its two requests";
  EXPECT_EQ(cbRet3rdPartyFromPgmID("PCEXREG"), nullptr);
}

TEST_F(HostRequests, TwoRegisteredProgramsAreServedAtOnce) {
  constexpr uint32_t kEach = 10;
  ChildProcess first = ChildProcess::Start("registered_program", {"PCONE", "10"});
  ChildProcess second = ChildProcess::Start("registered_program", {"PCTWO", "10"});
  ASSERT_EQ(first.ReadLine(), "registered 0");
  ASSERT_EQ(second.ReadLine(), "registered 0");
  std::string failures[2];
  auto calls = [&](int which, const std::string& program) {
    for (uint32_t i = 0; i < kEach && failures[which].empty(); ++i) {
      std::string data = program + Pattern(1000 + i, i);
      Reply reply = CallPc(program, data, i);
      if (reply.rc != 0 || reply.value != i || reply.data != data) {
        failures[which] = program + " request " + std::to_string(i) + " rc " +
                          std::to_string(reply.rc) + " value " + std::to_string(reply.value);
      }
    }
  };
  std::thread one(calls, 0, "PCONE");
  calls(1, "PCTWO");
  one.join();
  EXPECT_EQ(failures[0], "");
  EXPECT_EQ(failures[1], "");
  EXPECT_EQ(first.ReadLine(), "served 10");
  EXPECT_EQ(second.ReadLine(), "served 10");
}

TEST_F(HostRequests, AGoneWindowIsRefusedOnceAndItsRegistrationDropped) {
  ChildProcess program = ChildProcess::Start("registered_program", {"PCREG", "0"});
  ASSERT_EQ(program.ReadLine(), "registered 0");
  EXPECT_EQ(program.ReadLine(), "served 0");
  program.Kill();
  program.Wait();
  Reply gone = CallPc("PCREG", "x", 1);
  EXPECT_EQ(gone.rc, VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_LT(gone.took, 10s);
  EXPECT_EQ(cbRet3rdPartyFromPgmID("PCREG"), nullptr);
  EXPECT_EQ(CallPc("PCREG", "x", 1).rc, VQZM_RC_PROGRAM_NOT_REGISTERED);
}

TEST_F(HostRequests, PacketDataConvertsOnTheWayToThePcProgramAndBack) {
  Configure("program PCPGM " + SelfPath() + " --child pc_program packets\n");
  // Data version 2: CALLPC converts the packets after the name to the host's
  // form and asks with version 1; the PC program gets them back in the PC's
  // form, and its packet answer reaches the host in the host's form (zelhost
  // refuses anything else) and the requester in the PC's.
  Reply reply = CallPc("PCPGM", RequestPackets(), 42, 2);
  ASSERT_EQ(reply.rc, 0) << host_.LogText();
  EXPECT_EQ(reply.value, 42u) << "not kBadRequest: the PC program got its packets whole";
  EXPECT_EQ(reply.version, 1u);
  EXPECT_EQ(ToHex(reply.data), ToHex(AnswerPackets()));
  EXPECT_NE(host_.LogText().find("PWS program returned data for R"), std::string::npos);

  Reply not_packets = CallPc("PCPGM", "no packets here", 1, 2);
  EXPECT_EQ(not_packets.rc, kHostBadRequest);
}

TEST(BrokenHostRequests, AreAnsweredWith8404AndLeaveNoRecord) {
  UseTestManager();
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA", "program PCPGM " + SelfPath() + " --child pc_program echo\n");
  // The manager's trace tells which check refused each request.
  std::string trace = TestPath("cpmgr-trace.log");
  setenv("ZEL_TRACE", trace.c_str(), 1);
  uint32_t conv = 0;
  ASSERT_EQ(caInitializeZELComm("HOSTA", 0, 0, 0, &conv, 0), 0) << ManagerLog();
  struct Case {
    const char* fault;
    size_t size;
    const char* struck;
    const char* refused_by;
  };
  // 20000 bytes go in three entries: the third shows the loss or the change.
  // A single entry whose total is not its block is a following entry of a
  // request that never began.
  for (const Case& c :
       {Case{"lose-entry pc", 20000, "fault: second entry of ZR", "LOST_BLOCK_ERROR2"},
        Case{"bad-total pc", 20000, "fault: wrong total length in ZR", "TOTAL_DATA_ERROR"},
        Case{"bad-total pc", 10, "fault: wrong total length in ZR", "EXT_RID_NOT_FOUND"}}) {
    SCOPED_TRACE(std::string(c.fault) + ", " + std::to_string(c.size) + " bytes");
    size_t struck = Count(host.LogText(), c.struck);
    std::string point = std::string("ErrorPoint ") + c.refused_by + " vqzmcd0";
    size_t refused = Count(ReadFile(trace), point);
    ASSERT_EQ(host.Control(std::string("fault ") + c.fault).rfind("ok", 0), 0u);
    Reply reply = CallPc(conv, "PCPGM", Pattern(c.size, 7), 1);
    EXPECT_EQ(reply.rc, kInternalErrorToHost) << host.LogText();
    EXPECT_LT(reply.took, 20s);
    EXPECT_EQ(Count(host.LogText(), c.struck), struck + 1) << host.LogText();
    EXPECT_EQ(Count(ReadFile(trace), point), refused + 1);
    EXPECT_EQ(V(GetZELAnchorCB()->pRZ700ReqList), nullptr) << "the host-request record stayed";
  }
  // The request after them is served.
  Reply served = CallPc(conv, "PCPGM", Pattern(20000, 8), 2);
  EXPECT_EQ(served.rc, 0);
  EXPECT_TRUE(served.data == Pattern(20000, 8));
  caStopZELComm(conv);
}

// An installation whose SHARED/ holds the manager but no request processor:
// links to this build tree's lib/, msg/ and manager.
std::string InstallationWithoutProcessor() {
  namespace fs = std::filesystem;
  fs::path build = fs::path(SelfPath()).parent_path().parent_path();
  fs::path home = TestPath("zel");
  fs::create_directories(home / "SHARED");
  fs::create_symlink(build / "lib", home / "lib");
  fs::create_symlink(build / "msg", home / "msg");
  fs::create_symlink(build / "SHARED" / "VQZMCMW.EXE", home / "SHARED" / "VQZMCMW.EXE");
  return home.string();
}

TEST(NoRequestProcessor, TheManagerShowsMessage1062AndTheHostGets8404) {
  UseTestManager();
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA", "program PCPGM " + SelfPath() + " --child pc_program echo\n");
  setenv("ZEL_HOME", InstallationWithoutProcessor().c_str(), 1);
  // The manager has no screen: its message boxes reach its trace.
  std::string trace = TestPath("cpmgr-trace.log");
  setenv("ZEL_TRACE", trace.c_str(), 1);
  uint32_t conv = 0;
  ASSERT_EQ(caInitializeZELComm("HOSTA", 0, 0, 0, &conv, 0), 0) << ManagerLog();
  for (int call = 0; call < 2; ++call) {
    Reply reply = CallPc(conv, "PCPGM", "data", 1);
    EXPECT_EQ(reply.rc, kInternalErrorToHost) << host.LogText();
    EXPECT_LT(reply.took, 20s);
  }
  caStopZELComm(conv);
  std::string traced = ReadFile(trace);
  EXPECT_EQ(Count(traced, "MM APIs"), 2u)
      << "one box per request: the processor is looked for again";
  EXPECT_NE(traced.find("Host requests cannot be served: the host-request processor could not be "
                        "loaded"),
            std::string::npos)
      << traced;
  EXPECT_EQ(Count(traced, "MessageBox style= 16"), 2u) << "the stop icon";
  EXPECT_EQ(Count(traced, "ErrorPoint EXT_PWS_RRP vqzmcd0"), 2u);
  EXPECT_EQ(V(GetZELAnchorCB()->pRZ700ReqList), nullptr);
}

TEST(ProgramRegistration, BadArgumentsAreRefused) {
  uint32_t hwnd = 0;
  ASSERT_EQ(zelCreateWindow(&hwnd), 0);
  EXPECT_EQ(crRegisterProgram(nullptr, hwnd, kRequestMessage), VQZM_RC_BAD_PROGRAM_ID);
  EXPECT_EQ(crRegisterProgram("", hwnd, kRequestMessage), VQZM_RC_BAD_PROGRAM_ID);
  EXPECT_EQ(crRegisterProgram(std::string(22, 'A').c_str(), hwnd, kRequestMessage),
            VQZM_RC_BAD_PROGRAM_ID);
  EXPECT_EQ(crRegisterProgram("PGM", hwnd, 1023), VQZM_RC_BAD_MESSAGE_NUMBER);
  EXPECT_EQ(crRegisterProgram("PGM", hwnd + 1, kRequestMessage), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_EQ(crUnregisterProgram("PGM"), VQZM_RC_PROGRAM_NOT_REGISTERED);
  EXPECT_EQ(crRegisterProgram(std::string(21, 'A').c_str(), hwnd, kRequestMessage), 0);
  EXPECT_EQ(crUnregisterProgram(std::string(21, 'a').c_str()), 0);
  zelDestroyWindow(hwnd);
}

}  // namespace
}  // namespace zel::test
