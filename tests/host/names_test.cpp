// Host object names (wire/names.h): the rule itself, and the two ends that
// apply it: QLXDQ before a name goes out, zelhost when one comes in.
#include "wire/names.h"

#include <cstring>
#include <string>
#include <string_view>

#include "services/dataqueue.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/signed_on_pws.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

static_assert(sizeof(wire::DqQueueName::name) == wire::kMaxObjectName);
static_assert(sizeof(wire::DqQueueName::library) == wire::kMaxObjectName);
static_assert(sizeof(wire::SignOnRequest::user) == wire::kMaxObjectName);

struct NameCase {
  std::string_view name;
  bool valid;
};

const NameCase kNames[] = {
    {"QZELDQ", true},                      // the default library
    {"A", true},                           // the shortest
    {"ABCDEFGHIJ", true},                  // the longest
    {"0000002A", true},                    // a proposed queue name: a digit may come first
    {"ZQ0000001F", true},                  // a queue name the host chose
    {"$Q#1@_", true},                      // every special character
    {"lower", true},                       // lower case is kept as it is
    {"", false},                           // empty
    {"ABCDEFGHIJK", false},                // one too long
    {"TEST Q", false},                     // a blank inside
    {" TESTQ", false},                     // a leading blank
    {"TESTQ ", false},                     // a trailing blank (the padding of a field)
    {"QZELDQ/Q", false},                   // a qualified name
    {"..", false},                         // the token files are named after the queue
    {"Q-1", false},                        // punctuation
    {"A\nFORGED", false},                  // a line end
    {std::string_view("Q\0X", 3), false},  // a NUL inside
    {"\xC1\xC2\xC3", false},               // EBCDIC "ABC"
    {"Q\xC3\xA4", false},                  // a letter outside ASCII
};

TEST(ObjectNames, OneRuleDecidesEveryName) {
  for (const NameCase& c : kNames) {
    EXPECT_EQ(wire::ValidObjectName(c.name), c.valid) << ToHex(c.name);
  }
}

// Without a token every queue request is refused, so a name that passes the
// rule is answered QLXDQ_RC_REFUSED and one that fails it
// QLXDQ_RC_INVALID_PARAMETER, as queue name and as library name.
TEST(ObjectNames, TheHostRefusesExactlyTheNamesTheRuleRefuses) {
  HostServer host;
  ASSERT_TRUE(host.running());
  RawDataQueue dq(host.port());
  ASSERT_TRUE(dq.ready());
  for (const NameCase& c : kNames) {
    // A blank-padded field cannot carry more, nor trailing blanks.
    if (c.name.size() > wire::kMaxObjectName || (!c.name.empty() && c.name.back() == ' ')) {
      continue;
    }
    uint32_t expected = c.valid ? QLXDQ_RC_REFUSED : QLXDQ_RC_INVALID_PARAMETER;
    std::string name(c.name);
    EXPECT_EQ(dq.Create(name), expected) << ToHex(c.name);
    EXPECT_EQ(dq.Create("Q", name), expected) << ToHex(c.name);
  }
}

// A name the rule refuses never reaches the host: the host logs every
// delete that it answers, with the queue's path.
TEST(ObjectNames, TheClientKeepsBackTheNamesTheRuleRefuses) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure();
  SignedOnPws pws("NAMESQ");
  ASSERT_TRUE(pws.ok());
  for (const NameCase& c : kNames) {
    std::string name(c.name);
    if (std::strlen(name.c_str()) != name.size()) continue;  // no C string carries it
    uint32_t expected = c.valid ? QLXDQ_RC_REFUSED : QLXDQ_RC_INVALID_PARAMETER;
    EXPECT_EQ(qlxDQ_DeleteEx(pws.system(), name.c_str(), "QZELDQ", 0), expected) << ToHex(name);
    EXPECT_EQ(qlxDQ_DeleteEx(pws.system(), "Q", name.c_str(), 0), expected) << ToHex(name);
  }
  std::string log = host.LogText();
  EXPECT_NE(log.find("delete queue QZELDQ/0000002A refused"), std::string::npos) << log;
  EXPECT_EQ(log.find("delete queue : rc"), std::string::npos) << log;
}

}  // namespace
}  // namespace zel::test
