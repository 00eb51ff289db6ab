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
// What CALLPC answers when the PC program is silent past zelhost's wait.
constexpr int kHostNoAnswer = 0x7003;

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

// The data of the host request `rid`; nothing when it cannot be had.
std::optional<std::string> Retrieve(const std::string& rid) {
  RtvDataParms parms{};
  parms.pRID = rid.c_str();
  parms.ulTimeout = 30;
  RtvDataResult result{};
  if (caRtvData(&parms, &result) != 0) return std::nullopt;
  std::string data(static_cast<const char*>(result.pData), result.ulDataLen);
  zelFreeBlock(result.pData);
  return data;
}

// Answers under the key type byte `type` (0: the default "X").
uint16_t Answer(const std::string& rid, std::string data, uint32_t value, uint8_t type = 0) {
  ReturnDataParms parms{};
  parms.pRID = rid.c_str();
  parms.ulValue = value;
  parms.pData = data.data();
  parms.ulDataLen = static_cast<uint32_t>(data.size());
  return caReturnData(&parms, &type, type);
}

// A value that tells the test the request did not reach the program whole.
constexpr uint32_t kBadRequest = 9999;

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// A configured program, started per request. "echo" answers with the data
// and value it was given ("typed" too, under its own key type byte), "code N" with the value N and
// no data; "exit", "crash" and "silent" never answer.
ZEL_CHILD_COMMAND(pc_program) {
  std::string mode = args.empty() ? "" : args[0];
  if (mode == "exit") return 3;
  if (mode == "crash") {
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    raise(SIGSEGV);
  }
  if (mode == "silent") {
    // Ended by the processor at its time-out; the sleep only bounds it.
    std::this_thread::sleep_for(120s);
    return 0;
  }
  std::string rid = Env("ZEL_REQUEST_RID");
  std::optional<std::string> data = Retrieve(rid);
  if (!data) return 4;
  bool whole = Env("ZEL_REQUEST_LENGTH") == std::to_string(data->size()) &&
               Env("ZEL_REQUEST_PROGRAM") == "PCPGM";
  uint32_t value = static_cast<uint32_t>(std::stoul(Env("ZEL_REQUEST_VALUE")));
  if (mode == "code") return Answer(rid, {}, whole ? std::stoul(args[1]) : kBadRequest);
  return Answer(rid, *data, whole ? value : kBadRequest, mode == "typed" ? 'Q' : 0);
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
  std::string data;
  Clock::duration took{};
};

class HostRequests : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    Configure("program PCPGM " + SelfPath() + " --child pc_program echo\n");
    ASSERT_EQ(caInitializeZELComm("HOSTA", 0, 0, 0, &conv_, 0), 0)
        << ManagerLog();
  }
  void TearDown() override { caStopZELComm(conv_); }

  // The configuration the processor reads at the next request.
  void Configure(const std::string& lines) { host_.Configure("HOSTA", lines); }

  // CALLPC asks the PC program `program` for work with `data` and `value`.
  Reply CallPc(const std::string& program, const std::string& data, uint32_t value,
               uint32_t timeout = 60) {
    std::string request = program + std::string(1, '\0') + data;
    ProcessRequest parms{};
    parms.ulConvId = conv_;
    std::snprintf(parms.szPgmName, sizeof parms.szPgmName, "CALLPC");
    parms.ulValue = value;
    parms.pData = request.data();
    parms.ulDataLen = static_cast<uint32_t>(request.size());
    parms.ulTimeout = timeout;
    ProcessReply reply_parms{};
    Clock::time_point begin = Clock::now();
    Reply reply;
    reply.rc = caProcessSync(&parms, &reply_parms);
    reply.took = Clock::now() - begin;
    reply.value = reply_parms.ulValue;
    reply.data.assign(static_cast<const char*>(reply_parms.pData), reply_parms.ulDataLen);
    zelFreeBlock(reply_parms.pData);
    return reply;
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
  Configure("program PCPGM " + SelfPath() + " --child pc_program typed\n");
  Reply typed = CallPc("PCPGM", "under Q", 6);
  EXPECT_EQ(typed.rc, 0);
  EXPECT_EQ(typed.data, "under Q");

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
