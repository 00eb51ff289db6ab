// zelhost and its clients against another local user of the machine: a
// PWS's queue opens only to its data-queue token, tokens live in files only
// their user can read and die with their sign-on connection, the control
// channel needs the control token (and the refuse fault never closes it),
// running out of descriptors neither spins nor floods the log, connections
// are capped and idle ones closed, and names cannot forge log lines.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "base/config.h"
#include "host/ebcdic.h"
#include "services/connection.h"
#include "services/connection/dq_token.h"
#include "services/dataqueue.h"
#include "services/errhandle.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/signed_on_pws.h"
#include "tests/harness/waits.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

constexpr uint32_t kNoReply = 0xFFFFFFFFu;

std::string SignOnFrame(const void* payload, size_t size) {
  wire::SignOnFrameHeader header{};
  header.length.set(sizeof header + size);
  header.marker = wire::kFrameMarker;
  header.kind = wire::kFrameMessage;
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(static_cast<const char*>(payload), size);
  return frame;
}

// A start request proposing `queue` (any bytes: it reaches the log as sent).
std::string StartRequest(const std::string& queue) {
  wire::StartRequest start{};
  start.type = wire::kStartRequest;
  std::string proposed = host::ToEbcdic(queue);
  std::memcpy(start.proposed_queue, proposed.data(),
              std::min(proposed.size(), sizeof start.proposed_queue));
  std::memcpy(start.sys_id, host::ToEbcdic(std::string("001", 4)).data(), 4);
  return SignOnFrame(&start, sizeof start);
}

std::string RrpStart(const std::string& queue) {
  wire::RrpStart start{};
  start.type = wire::kRrpStart;
  start.start_value.set(1);
  std::memcpy(start.library, host::ToEbcdic("QZELDQ").data(), 6);
  std::memcpy(start.queue, host::ToEbcdic(queue).data(), queue.size());
  start.max_record_length.set(8320);
  std::memcpy(start.sys_id, host::ToEbcdic(std::string("001", 4)).data(), 4);
  return SignOnFrame(&start, sizeof start);
}

template <typename T>
std::string Bytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string QueueName(const std::string& name) {
  wire::DqQueueName queue{};
  wire::PadName("QZELDQ", queue.library);
  wire::PadName(name, queue.name);
  return Bytes(queue);
}

std::string WriteBody(const std::string& name) {
  wire::DqWriteBody write{};
  std::memcpy(&write.queue, QueueName(name).data(), sizeof write.queue);
  write.key_length.set(12);
  write.data_length.set(4);
  return Bytes(write) + "KEYKEYKEYKEY" + "data";
}

std::string ReadBody(const std::string& name) {
  wire::DqReadBody read{};
  std::memcpy(&read.queue, QueueName(name).data(), sizeof read.queue);
  read.key_length.set(12);
  read.search_order.set(QLXDQ_ORDER_GE);
  read.buffer_size.set(100);
  return Bytes(read) + std::string(12, '\0');
}

// A PWS on a raw sign-on connection: its station information and token.
struct RawPws {
  RawPws(const HostServer& host, const std::string& queue) : conn(host.port()) {
    conn.Send(StartRequest(queue));
    station = conn.Receive(4 + sizeof(wire::StationInfo)).value_or("");
    token = RequestToken(conn);
  }
  RawConnection conn;
  std::string station;
  std::string token;
};

// The frames of a control connection: hello, then each given frame.
std::string ControlBytes(std::vector<std::pair<uint16_t, std::string>> frames) {
  wire::DqHello hello{};
  std::memcpy(hello.magic, wire::kDqMagic, 4);
  hello.version.set(wire::kDqVersion);
  hello.role.set(wire::kRoleControl);
  std::string out = Bytes(hello);
  for (auto& [type, body] : frames) {
    wire::DqFrameHeader header{};
    header.length.set(sizeof header + body.size());
    header.type.set(type);
    out += Bytes(header) + body;
  }
  return out;
}

// The next data-queue reply on a raw connection: status and body.
std::pair<uint32_t, std::string> Reply(RawConnection& conn) {
  auto head = conn.Receive(sizeof(wire::DqFrameHeader));
  if (!head) return {kNoReply, ""};
  wire::DqFrameHeader header{};
  std::memcpy(&header, head->data(), sizeof header);
  auto body = conn.Receive(header.length.get() - sizeof header);
  return {static_cast<uint32_t>(header.status.get()), body.value_or("")};
}

int RunCommand(const std::string& line, std::string& output) {
  FILE* pipe = popen((line + " 2>&1").c_str(), "r");
  char buffer[512];
  output.clear();
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  int status = pipe ? pclose(pipe) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// CPU seconds (user and system) the process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(DataQueueToken, AQueueOpensOnlyToTheTokenOfItsPws) {
  HostServer host;
  RawPws a(host, "QUEUEA"), b(host, "QUEUEB");
  ASSERT_EQ(a.token.size(), wire::kTokenSize);
  ASSERT_EQ(b.token.size(), wire::kTokenSize);
  EXPECT_NE(a.token, b.token);
  RawDataQueue owner(host.port());
  ASSERT_EQ(owner.Present(a.token), 0u);
  ASSERT_EQ(owner.Create("QUEUEA"), 0u);
  ASSERT_EQ(owner.Call(wire::kWrite, WriteBody("QUEUEA")), 0u);

  RawDataQueue other(host.port()), none(host.port()), forged(host.port());
  ASSERT_EQ(other.Present(b.token), 0u);
  EXPECT_EQ(forged.Present(std::string(wire::kTokenSize, 'x')), QLXDQ_RC_REFUSED);
  for (RawDataQueue* dq : {&other, &none, &forged}) {
    EXPECT_EQ(dq->Call(wire::kOpen, QueueName("QUEUEA")), QLXDQ_RC_REFUSED);
    EXPECT_EQ(dq->Call(wire::kWrite, WriteBody("QUEUEA")), QLXDQ_RC_REFUSED);
    EXPECT_EQ(dq->Call(wire::kRead, ReadBody("QUEUEA")), QLXDQ_RC_REFUSED);
    EXPECT_EQ(dq->Call(wire::kDelete, QueueName("QUEUEA")), QLXDQ_RC_REFUSED);
    EXPECT_EQ(dq->Create("QUEUEA"), QLXDQ_RC_REFUSED);
    EXPECT_EQ(dq->Create("SPARE"), QLXDQ_RC_REFUSED) << "a name nobody was given";
  }
  EXPECT_EQ(other.Create("QUEUEB"), 0u);
  std::string entry;
  EXPECT_EQ(owner.Call(wire::kRead, ReadBody("QUEUEA"), &entry), 0u);
  EXPECT_NE(entry.find("data"), std::string::npos) << "the owner's entry is untouched";

  // Nor does B's RRP start on A's queue.
  ASSERT_TRUE(b.conn.Send(RrpStart("QUEUEA")));
  auto started = b.conn.Receive(13);
  ASSERT_TRUE(started);
  wire::StartedMessage message{};
  std::memcpy(&message, started->data() + 4, sizeof message);
  EXPECT_EQ(message.host_rc.get(), wire::kHostRcNotOwnQueue);
  EXPECT_NE(host.LogText().find("open queue QZELDQ/QUEUEA refused: no token of its PWS"),
            std::string::npos);
}

TEST(DataQueueToken, ATokenDiesWithItsSignOnAndTheQueueGoesToNobodyElse) {
  HostServer host;
  auto a = std::make_unique<RawPws>(host, "QUEUEA");
  std::string token = a->token;
  RawDataQueue manager(host.port());
  ASSERT_EQ(manager.Present(token), 0u);
  ASSERT_EQ(manager.Create("QUEUEA"), 0u);
  a.reset();
  std::string list;
  ASSERT_TRUE(Eventually([&] {  // the host sees the close
    list = host.Control("list");
    return list.find("signon") == std::string::npos;
  })) << list;
  RawDataQueue late(host.port());
  EXPECT_EQ(late.Present(token), QLXDQ_RC_REFUSED);
  EXPECT_EQ(late.Call(wire::kOpen, QueueName("QUEUEA")), QLXDQ_RC_REFUSED);
  // The manager deletes its queue after it has signed off.
  EXPECT_EQ(manager.Call(wire::kDelete, QueueName("QUEUEA")), 0u);
  // Once the name is another PWS's, the old right to it is gone.
  RawPws c(host, "QUEUEA");
  ASSERT_EQ(c.token.size(), wire::kTokenSize);
  EXPECT_EQ(manager.Create("QUEUEA"), QLXDQ_RC_REFUSED);
  RawDataQueue successor(host.port());
  ASSERT_EQ(successor.Present(c.token), 0u);
  EXPECT_EQ(successor.Create("QUEUEA"), 0u);
}

// An application: its own system object, the queue opened by name.
ZEL_CHILD_COMMAND(open_queue) {
  uint32_t system = 0, queue = 0, error = 0;
  qlxSV_CreateErrHandle(&error);
  if (qlxCO_CreateSystem("HOSTSYS", &system) != 0) return 1;
  uint32_t rc = qlxDQ_OpenEx(system, args[0].c_str(), "QZELDQ", &queue, error);
  char text[QLXSV_MAX_TEXT] = "";
  if (rc != 0) qlxSV_GetErrText(error, text, sizeof text);
  child::Report("rc " + std::to_string(rc) + " " + text);
  qlxDQ_Close(queue);
  qlxCO_DeleteSystem(system);
  return 0;
}

std::string OpenInAnotherProcess(const std::string& queue) {
  ChildProcess app = ChildProcess::Start("open_queue", {queue});
  std::string line = app.ReadLine().value_or("no answer");
  app.Wait();
  return line;
}

TEST(DataQueueToken, TheTokenFileIsTheUsersOwnAndGoesWithTheSignOn) {
  HostServer host;
  host.Configure();
  auto pws = std::make_unique<SignedOnPws>("APPQ");
  ASSERT_TRUE(pws->ok());
  ASSERT_EQ(pws->CreateQueue(), 0u);
  std::string error;
  std::string path = qlx::DqTokenPath(host.address(), "QZELDQ", "APPQ", &error);
  ASSERT_FALSE(path.empty()) << error;
  struct stat status {};
  ASSERT_EQ(lstat(path.c_str(), &status), 0) << path;
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(status.st_uid, geteuid());

  EXPECT_EQ(OpenInAnotherProcess("APPQ"), "rc 0 ");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  std::string refused = OpenInAnotherProcess("APPQ");
  EXPECT_EQ(refused.rfind("rc 6013 ", 0), 0u) << refused;
  EXPECT_NE(refused.find("open to group or others"), std::string::npos) << refused;
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  if (geteuid() == 0) {
    // Only root can give a file to another user.
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    refused = OpenInAnotherProcess("APPQ");
    EXPECT_NE(refused.find("belongs to uid 65534"), std::string::npos) << refused;
    ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
  }
  EXPECT_EQ(OpenInAnotherProcess("APPQ"), "rc 0 ");

  pws.reset();  // the sign-on connection ends normally
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "the token file outlived its sign-on";
  EXPECT_EQ(OpenInAnotherProcess("APPQ").rfind("rc 6013 ", 0), 0u);
}

TEST(ControlChannel, OnlyTheControlTokenOpensIt) {
  HostServer host;
  struct stat status {};
  ASSERT_EQ(stat(host.control_token_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  RawConnection bare(host.port());
  ASSERT_TRUE(bare.Send(ControlBytes({{wire::kControl, "fault refuse all"}})));
  ASSERT_TRUE(bare.Receive(sizeof(wire::DqHello)));
  auto [status_code, text] = Reply(bare);
  EXPECT_EQ(status_code, QLXDQ_RC_REFUSED);
  EXPECT_EQ(text.rfind("error:", 0), 0u) << text;
  RawPws pws(host, "QUEUEA");
  EXPECT_EQ(pws.token.size(), wire::kTokenSize) << "the fault was not set";

  RawConnection wrong(host.port());
  ASSERT_TRUE(wrong.Send(ControlBytes({{wire::kToken, std::string(wire::kTokenSize, '\0')},
                                       {wire::kControl, "fault refuse all"}})));
  ASSERT_TRUE(wrong.Receive(sizeof(wire::DqHello)));
  EXPECT_EQ(Reply(wrong).first, QLXDQ_RC_REFUSED);
  EXPECT_TRUE(wrong.ClosedByPeer());

  std::string command = ZelhostBinary() + " --control-token " + host.control_token_path() +
                        " --control " + host.address() + " list";
  std::string output;
  ASSERT_EQ(chmod(host.control_token_path().c_str(), 0644), 0);
  EXPECT_EQ(RunCommand(command, output), 2);
  EXPECT_NE(output.find("open to group or others"), std::string::npos) << output;
  ASSERT_EQ(chmod(host.control_token_path().c_str(), 0600), 0);
  EXPECT_EQ(RunCommand(command, output), 0) << output;
  EXPECT_EQ(output.rfind("ok ", 0), 0u) << output;
}

TEST(ControlChannel, WithoutAFileNamedTheTokenIsInThePrivateDirectory) {
  HostServer host({"--control-token", ""});
  ASSERT_TRUE(host.running());
  std::string error;
  std::string dir = config::PrivateDir(&error);
  ASSERT_FALSE(dir.empty()) << error;
  std::string path = dir + "/zelhost." + std::to_string(host.port()) + ".control";
  struct stat status {};
  ASSERT_EQ(lstat(path.c_str(), &status), 0) << path;
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  std::string output;
  EXPECT_EQ(RunCommand(ZelhostBinary() + " --control " + host.address() + " list", output), 0)
      << output;
  EXPECT_EQ(output.rfind("ok 1 connections", 0), 0u) << output;
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "the token file outlived its server";
}

TEST(ControlChannel, RefusingEveryConnectionLeavesTheControlChannelOpen) {
  HostServer host;
  ASSERT_EQ(host.Control("fault refuse all").rfind("ok", 0), 0u);
  RawConnection pws(host.port());
  ASSERT_TRUE(pws.Send(StartRequest("QUEUEA")));
  EXPECT_TRUE(pws.ClosedByPeer());
  EXPECT_FALSE(RawDataQueue(host.port()).ready());
  EXPECT_EQ(host.Control("list").rfind("ok ", 0), 0u);
  EXPECT_EQ(host.Control("fault clear").rfind("ok", 0), 0u);
  RawPws served(host, "QUEUEA");
  EXPECT_EQ(served.station.size(), 4 + sizeof(wire::StationInfo));
}

TEST(Limits, OutOfDescriptorsTheServerWaitsQuietlyAndServesAgain) {
  HostServer host({}, 32);
  ASSERT_TRUE(host.running());
  std::vector<std::unique_ptr<RawConnection>> flood;
  for (int i = 0; i < 80; ++i) flood.push_back(std::make_unique<RawConnection>(host.port()));
  ASSERT_TRUE(Eventually([&] {
    return host.LogText().find("accept failed: Too many open files") != std::string::npos;
  })) << host.LogText();
  // The measure: the server's CPU time over two seconds of wall time.
  double before = CpuSeconds(host.pid());
  std::this_thread::sleep_for(2s);
  double used = CpuSeconds(host.pid()) - before;
  EXPECT_LT(used, 0.4) << "seconds of CPU in 2 s out of descriptors";
  EXPECT_LT(host.LogText().size(), 64u * 1024) << "the log grows while it waits";

  flood.clear();
  std::string list;
  // The server's wait after a failed accept is at most 1 s.
  EXPECT_TRUE(Eventually(
      [&] {
        list = host.Control("list");
        return list.rfind("ok ", 0) == 0;
      },
      5s, 50ms))
      << list;
  RawPws pws(host, "QUEUEA");
  EXPECT_EQ(pws.token.size(), wire::kTokenSize);
}

TEST(Limits, ConnectionsBeyondTheCapAreClosedAtOnce) {
  HostServer host({"--max-connections", "3"});
  auto first = std::make_unique<RawPws>(host, "QUEUEA");
  RawPws second(host, "QUEUEB"), third(host, "QUEUEC");
  ASSERT_EQ(third.token.size(), wire::kTokenSize);
  RawConnection over(host.port());
  EXPECT_TRUE(over.ClosedByPeer());
  EXPECT_NE(host.LogText().find("connection limit of 3 reached"), std::string::npos);
  first.reset();
  bool served = false;
  for (int i = 0; i < 200 && !served; ++i) {  // bounded wait for the host to see the close
    RawConnection next(host.port());
    served = next.Send(StartRequest("QUEUED")) && next.Receive(38, 1s).has_value();
  }
  EXPECT_TRUE(served);
}

TEST(Limits, ConnectionsThatSendNoWholeFrameAreClosedWhenIdle) {
  HostServer host({"--idle-timeout", "1"});
  RawConnection active(host.port());
  ASSERT_TRUE(active.Send(StartRequest("QUEUEA")));
  ASSERT_TRUE(active.Receive(38));
  RawConnection silent(host.port()), partial(host.port());
  ASSERT_TRUE(partial.Send(Hex("00 34 12 FF 01 00")));
  RawConnection greeted(host.port());
  ASSERT_TRUE(greeted.Send(Hex("5A 4C 44 51 00 01 00 01")));
  ASSERT_TRUE(greeted.Receive(sizeof(wire::DqHello)));
  EXPECT_TRUE(silent.ClosedByPeer());
  EXPECT_TRUE(partial.ClosedByPeer());
  EXPECT_TRUE(greeted.ClosedByPeer());
  // The active connection outlived them and is still served.
  ASSERT_TRUE(active.Send(StartRequest("QUEUEA")));
  EXPECT_TRUE(active.Receive(38));
  EXPECT_NE(host.LogText().find("no request within 1 s"), std::string::npos);
}

TEST(HostLogLines, NamesFromClientsCannotForgeLines) {
  HostServer host;
  RawConnection pws(host.port());
  ASSERT_TRUE(pws.Send(StartRequest("A\nFORGED")));
  ASSERT_TRUE(pws.Receive(38));
  EXPECT_EQ(host.Control("list\r\nFORGED").rfind("ok ", 0), 0u);
  std::string log = host.LogText();
  EXPECT_NE(log.find("proposed queue 'A\\nFORGED'"), std::string::npos) << log;
  EXPECT_NE(log.find("control 'list\\r\\nFORGED'"), std::string::npos) << log;
  EXPECT_EQ(log.find("\nFORGED"), std::string::npos) << log;
}

}  // namespace
}  // namespace zel::test
