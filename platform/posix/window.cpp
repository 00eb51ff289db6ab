// Message windows.
//
// The window table lives in the registry; each process keeps its own
// windows' procedures and one message queue per thread. Messages between
// processes travel as datagrams to the receiving process's unix socket
// "msg.<slot>.<generation>" in the instance's private folder, which only
// this user can reach; a send to a dead process's socket is refused, and
// the file goes when the process detaches or is reaped. A reader thread
// moves each datagram into the queue of the window's thread at once, so the
// kernel's short datagram queue only fills when the whole process is stuck.
// Messages within a process go straight into the queue. A thread is woken
// through its queue's eventfd, which it can wait on together with the pidfd
// of a process it sent a message to. A window whose readiness descriptor was
// asked for has an eventfd of its own besides, whose count is 1 exactly
// while a message for the window is queued: it changes with the queue under
// the queue's lock, so it is level-triggered for whoever polls it. A forked
// child has none of its parent's windows and queues, and binds a socket of
// its own at first use.
//
// A window's idle count is raised by its thread when it finds nothing for
// the window. It then holds the window's post lock (so no post from another
// process is under way), the reader's lock (so no datagram is between the
// socket and a queue) and its queue's lock, drains the socket itself and
// looks at its queue: "nothing unread and nothing queued" is one
// observation, and the count changes at that moment.
#include "platform/window.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/clock.h"
#include "platform/posix/heap.h"
#include "platform/posix/instance.h"
#include "platform/posix/last_error.h"
#include "platform/posix/robust_mutex.h"
#include "platform/thread.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

using internal::Instance;
using internal::WindowEntry;

constexpr char kTag[] = "PL";
constexpr size_t kMaxPosted = 10000;
constexpr int kSendTimeoutSeconds = 5;
// How often a thread waiting in SendMessage checks that the window still
// exists, besides watching its process.
constexpr int kSendRecheckMs = 250;
constexpr uint32_t kDatagramMagic = 0x4d4c455a;  // "ZELM"
// Datagrams the reader moves per hold of its lock, so that a thread that
// wants to look at the socket does not wait behind a flood.
constexpr int kDrainBatch = 64;
// Datagrams a thread raising its window's idle count moves at most; more
// means a flood is still coming in, which is no idle moment.
constexpr int kIdleDrainLimit = 1024;

enum class Kind : uint32_t { kPosted = 1, kSent = 2, kReply = 3 };

// One message between processes.
struct Datagram {
  uint32_t magic;              // kDatagramMagic
  Kind kind;                   // posted, sent, or the reply to a sent one
  HWND hwnd;                   // target window (posted, sent)
  UINT message;                // message number (posted, sent)
  uint64_t wparam;             // first parameter (posted, sent)
  int64_t lparam;              // second parameter; the result in a reply
  uint64_t sequence;           // sent and reply: pairs a reply with its call
  uint32_t sender_slot;        // sent: where the reply goes
  uint32_t sender_generation;  // sent: the generation of that slot
  uint32_t sender_tid;         // sent: the waiting thread; reply: the same
  uint32_t handled;            // reply: nonzero when the procedure ran
  uint32_t time;               // posted: milliseconds of the monotonic clock
  uint32_t reserved;           // alignment
};
static_assert(sizeof(Datagram) == 64);

DWORD TickCount() { return static_cast<DWORD>(internal::MonotonicNanos() / 1'000'000); }

struct ThreadQueue;

// Where the answer to a sent message goes.
struct ReplyTo {
  std::shared_ptr<ThreadQueue> local;  // the waiting thread of this process, or
  uint32_t slot = 0;                   // the slot, generation and thread of
  uint32_t generation = 0;             // the waiting thread of another process
  uint32_t tid = 0;
  uint64_t sequence = 0;
};

struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  ReplyTo reply_to;
};

struct Reply {
  LRESULT result;
  bool handled;
};

// Raises an eventfd's count so that it polls readable.
void Signal(int fd) {
  uint64_t one = 1;
  ssize_t ignored = write(fd, &one, sizeof one);
  (void)ignored;
}

// Takes an eventfd's count back to 0.
void Unsignal(int fd) {
  uint64_t count;
  ssize_t ignored = read(fd, &count, sizeof count);
  (void)ignored;
}

// A window's readiness descriptor.
struct Readiness {
  int fd;          // eventfd, signalled exactly while `waiting` is not 0
  size_t waiting;  // posted and sent messages queued for the window
};

// The message queue of one thread.
struct ThreadQueue {
  explicit ThreadQueue(DWORD thread)
      : tid(thread), wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~ThreadQueue() { close(wake_fd); }

  // Makes the owning thread look at its queue.
  void Wake() const { Signal(wake_fd); }

  // Clears the wake-up count before the thread looks at its queue.
  void Drain() const { Unsignal(wake_fd); }

  // Queue a message. Lock held.
  void PushPosted(const MSG& msg) {
    posted.push_back(msg);
    Counted(msg.hwnd, +1);
  }
  void PushSent(SentMessage&& message) {
    HWND hwnd = message.hwnd;
    sent.push_back(std::move(message));
    Counted(hwnd, +1);
  }

  // The readiness descriptor of `hwnd`, made at the first call and
  // signalled at once when messages for the window are queued already; -1
  // with errno set when no eventfd can be made.
  int ReadyFd(HWND hwnd) {
    std::lock_guard guard(mutex);
    auto [entry, made] = watched.try_emplace(hwnd, Readiness{-1, 0});
    if (!made) return entry->second.fd;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
      watched.erase(entry);
      return -1;
    }
    auto is_for = [hwnd](const auto& queued) { return queued.hwnd == hwnd; };
    size_t waiting = static_cast<size_t>(std::count_if(posted.begin(), posted.end(), is_for) +
                                         std::count_if(sent.begin(), sent.end(), is_for));
    if (waiting > 0) Signal(fd);
    entry->second = Readiness{fd, waiting};
    return fd;
  }

  // Keeps the readiness descriptor of `hwnd`, if it has one, in step with a
  // message for it queued (+1) or taken out (-1). Lock held.
  void Counted(HWND hwnd, int change) {
    if (watched.empty()) return;
    auto found = watched.find(hwnd);
    if (found == watched.end()) return;
    Readiness& readiness = found->second;
    if (change > 0 && readiness.waiting++ == 0) Signal(readiness.fd);
    if (change < 0 && --readiness.waiting == 0) Unsignal(readiness.fd);
  }

  const DWORD tid;
  const int wake_fd;
  std::mutex mutex;
  std::deque<MSG> posted;                       // guarded by mutex
  std::deque<SentMessage> sent;                 // guarded by mutex
  std::unordered_set<uint64_t> awaiting;        // sends this thread waits on; guarded
  std::unordered_map<uint64_t, Reply> replies;  // their answers; guarded
  std::unordered_map<HWND, Readiness> watched;  // windows with a descriptor; guarded
  // Global blocks that came with messages from other processes and are
  // still queued: this process owns them, and frees them when their window
  // goes before they are taken. Guarded.
  std::unordered_multiset<LPARAM> adopted;
  bool quit = false;                            // WM_QUIT is pending; guarded
  int quit_code = 0;                            // guarded
};

struct LocalWindow {
  WindowProc proc;
  DWORD tid;
  std::shared_ptr<ThreadQueue> queue;
};

// This process's side of the message system. Never destroyed: threads may
// post while the process exits.
class Messages {
 public:
  // Made at first use. Any thread.
  static Messages& Get() {
    Messages* messages = current_.load(std::memory_order_acquire);
    if (messages != nullptr) return *messages;
    auto* made = new Messages(nullptr);
    if (current_.compare_exchange_strong(messages, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *messages;
  }

  // In a forked child (its fork handler, alone). The parent's windows,
  // queues, socket and reader thread stay the parent's, and a thread the
  // child does not have may have held a lock of theirs at the fork: the
  // child starts with none and sets up a transport of its own, at its own
  // address, on first use.
  static void StartAfreshInChild();

  std::shared_ptr<ThreadQueue> QueueOf(DWORD tid) {
    std::lock_guard guard(mutex_);
    auto found = queues_.find(tid);
    if (found != queues_.end()) return found->second;
    auto queue = std::make_shared<ThreadQueue>(tid);
    queues_[tid] = queue;
    return queue;
  }

  void ForgetQueue(DWORD tid) {
    std::lock_guard guard(mutex_);
    queues_.erase(tid);
  }

  std::shared_ptr<LocalWindow> Window(HWND hwnd) {
    std::lock_guard guard(mutex_);
    auto found = windows_.find(hwnd);
    return found == windows_.end() ? nullptr : found->second;
  }

  void AddWindow(HWND hwnd, std::shared_ptr<LocalWindow> window) {
    std::lock_guard guard(mutex_);
    windows_[hwnd] = std::move(window);
  }

  void RemoveWindow(HWND hwnd) {
    std::lock_guard guard(mutex_);
    windows_.erase(hwnd);
  }

  std::vector<HWND> WindowsOf(DWORD tid) {
    std::lock_guard guard(mutex_);
    std::vector<HWND> owned;
    for (const auto& [hwnd, window] : windows_) {
      if (window->tid == tid) owned.push_back(hwnd);
    }
    return owned;
  }

  uint64_t NextSequence() { return next_sequence_.fetch_add(1) + 1; }

  // Binds this process's socket and starts the reader thread, once.
  bool StartTransport(Instance& instance);

  // Sends a datagram to the process in `slot`; 0 or an errno value.
  int SendTo(const Instance& instance, uint32_t slot, uint32_t generation,
             const Datagram& datagram);

  // Moves what the socket holds into the queues, up to `limit` datagrams;
  // the senders of messages to windows that are gone are added to
  // `orphans`, to be answered once the lock is free. False when the socket
  // may hold more. Reader lock held.
  bool DrainLocked(int limit, std::vector<ReplyTo>* orphans);

  // Serialises taking datagrams out of the socket with putting them into
  // the queues. Held by the reader thread, and by a window's thread that
  // raises the window's idle count.
  std::mutex& reader_mutex() { return reader_mutex_; }
  bool transport_ready() const { return transport_ready_.load(std::memory_order_acquire); }

 private:
  explicit Messages(Messages* parents) : parents_(parents) {}
  static void* ReaderMain(void* self);
  void Receive(const Datagram& datagram, std::vector<ReplyTo>* orphans);

  inline static std::atomic<Messages*> current_{nullptr};
  // A forked child's: its parent's side, never used again nor taken apart
  // (a lock of it may be held, a table half-changed).
  [[maybe_unused]] Messages* const parents_;
  std::mutex mutex_;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues_;  // guarded by mutex_
  std::unordered_map<HWND, std::shared_ptr<LocalWindow>> windows_;  // guarded by mutex_
  std::atomic<uint64_t> next_sequence_{0};
  std::once_flag transport_once_;
  std::atomic<bool> transport_ready_{false};           // set once under transport_once_
  DWORD transport_error_ = ERROR_NO_SYSTEM_RESOURCES;  // why it is not ready; as above
  int receive_fd_ = -1;
  int send_fd_ = -1;
  std::mutex reader_mutex_;
};

void Messages::StartAfreshInChild() {
  Messages* parents = current_.load(std::memory_order_acquire);
  if (parents == nullptr) return;
  // The child's copies would keep the parent's sockets open.
  for (int fd : {parents->receive_fd_, parents->send_fd_}) {
    if (fd >= 0) close(fd);
  }
  current_.store(new Messages(parents), std::memory_order_release);
}

// The socket address of the process in `slot` as `generation`; false when
// its path does not fit in a socket address.
bool SocketAddress(const Instance& instance, uint32_t slot, uint32_t generation,
                   sockaddr_un* address, socklen_t* length) {
  std::string path = instance.SocketPath(slot, generation);
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  memcpy(address->sun_path, path.c_str(), path.size() + 1);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

// Binds this process's socket, replacing the file a dead process with the
// same slot and generation left (from before the instance was rebuilt); 0
// or the error. The longest socket path of the instance must fit a socket
// address, or a process could bind where others cannot send: a private
// folder too deep for that fails every window of the instance alike.
DWORD BindOwnSocket(const Instance& instance, int fd) {
  std::string longest = instance.SocketPath(internal::kMaxProcesses - 1, UINT32_MAX);
  sockaddr_un address;
  socklen_t length;
  if (longest.size() >= sizeof address.sun_path ||
      !SocketAddress(instance, instance.slot(), instance.generation(), &address, &length)) {
    trace::String(kTag, -63, "socket path longer than a socket address holds", longest.c_str());
    return ERROR_FILENAME_EXCED_RANGE;
  }
  unlink(address.sun_path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    return internal::ErrorFromErrno(errno);
  }
  // The folder already keeps others out; the file says so too.
  chmod(address.sun_path, 0600);
  return NO_ERROR;
}

bool Messages::StartTransport(Instance& instance) {
  std::call_once(transport_once_, [&] {
    receive_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    send_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (receive_fd_ < 0 || send_fd_ < 0) {
      transport_error_ = internal::ErrorFromErrno(errno);
      return;
    }
    int on = 1;
    setsockopt(receive_fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    timeval limit{kSendTimeoutSeconds, 0};
    setsockopt(send_fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    transport_error_ = BindOwnSocket(instance, receive_fd_);
    if (transport_error_ != NO_ERROR) {
      static_cast<void>(ZEL_ERROR_POINT("PLAT_WINDOW_SOCKET"));
      return;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, ThreadStackSize(0));
    pthread_t reader;
    int error = pthread_create(&reader, &attributes, ReaderMain, this);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
      transport_error_ = ERROR_NOT_ENOUGH_MEMORY;
      return;
    }
    transport_ready_.store(true, std::memory_order_release);
  });
  if (!transport_ready()) internal::SetError(transport_error_);
  return transport_ready();
}

int Messages::SendTo(const Instance& instance, uint32_t slot, uint32_t generation,
                     const Datagram& datagram) {
  sockaddr_un address;
  socklen_t length;
  if (!SocketAddress(instance, slot, generation, &address, &length)) return ENAMETOOLONG;
  for (;;) {
    ssize_t sent = sendto(send_fd_, &datagram, sizeof datagram, MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), length);
    if (sent == static_cast<ssize_t>(sizeof datagram)) return 0;
    if (sent < 0 && errno == EINTR) continue;
    return sent < 0 ? errno : EMSGSIZE;
  }
}

void SendReply(const ReplyTo& reply_to, LRESULT result, bool handled);

void* Messages::ReaderMain(void* self) {
  auto& messages = *static_cast<Messages*>(self);
  for (;;) {
    pollfd readable{messages.receive_fd_, POLLIN, 0};
    if (poll(&readable, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return nullptr;
    }
    std::vector<ReplyTo> orphans;
    {
      std::lock_guard guard(messages.reader_mutex_);
      messages.DrainLocked(kDrainBatch, &orphans);
    }
    for (const ReplyTo& orphan : orphans) SendReply(orphan, 0, false);
  }
}

bool Messages::DrainLocked(int limit, std::vector<ReplyTo>* orphans) {
  uid_t own_uid = geteuid();
  for (int count = 0; count < limit; ++count) {
    Datagram datagram;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec data{&datagram, sizeof datagram};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t size = recvmsg(receive_fd_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (size < 0) {
      if (errno == EINTR) continue;
      return true;  // EAGAIN: empty
    }
    // Only our own user's processes may talk to us: the folder sees to
    // that, and the sender's credentials confirm it.
    cmsghdr* credentials = CMSG_FIRSTHDR(&header);
    bool trusted = credentials != nullptr && credentials->cmsg_type == SCM_CREDENTIALS &&
                   reinterpret_cast<ucred*>(CMSG_DATA(credentials))->uid == own_uid;
    if (!trusted || size != sizeof datagram || datagram.magic != kDatagramMagic) {
      trace::Msg(kTag, -60, "dropped a malformed or foreign window message");
      continue;
    }
    Receive(datagram, orphans);
  }
  return false;
}

// Hands an answer to a thread of this process that still waits for it.
void DeliverReply(ThreadQueue& queue, uint64_t sequence, Reply reply) {
  {
    std::lock_guard guard(queue.mutex);
    if (queue.awaiting.count(sequence) == 0) return;
    queue.replies[sequence] = reply;
  }
  queue.Wake();
}

// Sends the answer of a sent message to its waiting thread.
void SendReply(const ReplyTo& reply_to, LRESULT result, bool handled) {
  if (reply_to.local != nullptr) {
    DeliverReply(*reply_to.local, reply_to.sequence, Reply{result, handled});
    return;
  }
  Instance* instance = Instance::Attached();
  if (instance == nullptr) return;
  Datagram reply{};
  reply.magic = kDatagramMagic;
  reply.kind = Kind::kReply;
  reply.lparam = result;
  reply.sequence = reply_to.sequence;
  reply.sender_tid = reply_to.tid;
  reply.handled = handled ? 1 : 0;
  // A sender that died meanwhile is past caring; what it left is cleared.
  // Its socket is refused, or gone once it was reaped.
  int error = Messages::Get().SendTo(*instance, reply_to.slot, reply_to.generation, reply);
  if (error == ECONNREFUSED || error == ENOENT) instance->ReapDead();
}

void Messages::Receive(const Datagram& datagram, std::vector<ReplyTo>* orphans) {
  if (datagram.kind == Kind::kReply) {
    std::shared_ptr<ThreadQueue> queue;
    {
      std::lock_guard guard(mutex_);
      auto found = queues_.find(datagram.sender_tid);
      if (found != queues_.end()) queue = found->second;
    }
    if (queue != nullptr)
      DeliverReply(*queue, datagram.sequence, Reply{datagram.lparam, datagram.handled != 0});
    return;
  }
  std::shared_ptr<LocalWindow> window = Window(datagram.hwnd);
  ReplyTo reply_to{nullptr, datagram.sender_slot, datagram.sender_generation, datagram.sender_tid,
                   datagram.sequence};
  if (window == nullptr) {
    if (datagram.kind == Kind::kSent) orphans->push_back(reply_to);
    return;
  }
  internal::SeeGlobalBlockHandedOver(static_cast<LPARAM>(datagram.lparam));
  ThreadQueue& queue = *window->queue;
  {
    std::lock_guard guard(queue.mutex);
    if (datagram.kind == Kind::kSent) {
      queue.PushSent(SentMessage{datagram.hwnd, datagram.message,
                                 static_cast<WPARAM>(datagram.wparam),
                                 static_cast<LPARAM>(datagram.lparam), reply_to});
    } else {
      // The poster made room for it in the window's count.
      auto lparam = static_cast<LPARAM>(datagram.lparam);
      queue.PushPosted(MSG{datagram.hwnd, datagram.message, static_cast<WPARAM>(datagram.wparam),
                           lparam, datagram.time});
      if (internal::InGlobalHeap(lparam)) queue.adopted.insert(lparam);
    }
  }
  queue.Wake();
}

// Where a window lives, read from the window table without its lock.
struct Target {
  uint32_t slot;
  uint32_t generation;
  DWORD pid;
  DWORD tid;
};

bool Resolve(Instance& instance, HWND hwnd, Target* target) {
  WindowEntry* entry = instance.WindowSlot(hwnd);
  if (entry == nullptr || entry->hwnd.load(std::memory_order_acquire) != hwnd) return false;
  *target = Target{entry->owner_slot.load(), entry->owner_generation.load(), entry->pid.load(),
                   entry->tid.load()};
  // Freed or reused meanwhile: the fields may belong to another window.
  return entry->hwnd.load(std::memory_order_acquire) == hwnd;
}

bool IsOwnProcess(const Instance& instance, const Target& target) {
  return target.slot == instance.slot() && target.generation == instance.generation();
}

// True while the window's process lives (its window may still be gone).
bool OwnerAlive(const Instance& instance, const Target& target) {
  return instance.ProcessAlive(target.slot, target.generation);
}

// Holds a window's post lock (see registry.h). A holder that died held it
// only around a send: there is nothing to repair.
class PostLock {
 public:
  explicit PostLock(WindowEntry& entry) : mutex_(&entry.post_lock) {
    int error = internal::LockSharedMutex(mutex_, internal::Deadline::After(INFINITE), false);
    if (error == EOWNERDEAD) pthread_mutex_consistent(mutex_);
  }
  ~PostLock() { pthread_mutex_unlock(mutex_); }
  PostLock(const PostLock&) = delete;
  PostLock& operator=(const PostLock&) = delete;

 private:
  pthread_mutex_t* const mutex_;
};

bool QueuedFor(const ThreadQueue& queue, HWND hwnd) {
  return std::any_of(queue.posted.begin(), queue.posted.end(),
                     [hwnd](const MSG& msg) { return msg.hwnd == hwnd; }) ||
         std::any_of(queue.sent.begin(), queue.sent.end(),
                     [hwnd](const SentMessage& sent) { return sent.hwnd == hwnd; });
}

// Raises the idle count of `hwnd` when nothing for it is queued or unread
// (see the top of this file). The calling thread owns the window.
void RaiseIdleCount(Instance& instance, ThreadQueue& queue, HWND hwnd) {
  WindowEntry* entry = instance.WindowSlot(hwnd);
  if (entry == nullptr) return;
  Messages& messages = Messages::Get();
  std::vector<ReplyTo> orphans;
  {
    PostLock post_lock(*entry);
    std::lock_guard reader(messages.reader_mutex());
    if (messages.DrainLocked(kIdleDrainLimit, &orphans)) {
      std::lock_guard guard(queue.mutex);
      if (!QueuedFor(queue, hwnd) && entry->hwnd.load() == hwnd) {
        entry->idle_count.fetch_add(1, std::memory_order_acq_rel);
      }
    }
  }
  for (const ReplyTo& orphan : orphans) SendReply(orphan, 0, false);
}

// The calling thread looked for a message and found none: raises the idle
// count of each of its windows that has nothing queued or unread.
void NoteIdle(ThreadQueue& queue) {
  Instance* instance = Instance::Attached();
  if (instance == nullptr || !Messages::Get().transport_ready()) return;
  for (HWND hwnd : Messages::Get().WindowsOf(queue.tid)) RaiseIdleCount(*instance, queue, hwnd);
}

// Ends a thread's part in the message system when the thread ends: its
// windows go, and senders still waiting on them are answered.
class ThreadExit {
 public:
  ~ThreadExit() {
    if (queue == nullptr) return;
    for (HWND hwnd : Messages::Get().WindowsOf(queue->tid)) DestroyWindow(hwnd);
    std::deque<SentMessage> pending;
    {
      std::lock_guard guard(queue->mutex);
      pending.swap(queue->sent);
    }
    for (const SentMessage& sent : pending) SendReply(sent.reply_to, 0, false);
    Messages::Get().ForgetQueue(queue->tid);
  }
  std::shared_ptr<ThreadQueue> queue;
};

thread_local ThreadExit t_thread;

// A forked child's message system starts afresh; the forking thread's queue
// was its parent thread's.
void ChildAfterFork() {
  Messages::StartAfreshInChild();
  t_thread.queue = nullptr;
}

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, ChildAfterFork); }

ThreadQueue& OwnQueue() {
  if (t_thread.queue == nullptr) t_thread.queue = Messages::Get().QueueOf(GetCurrentThreadId());
  return *t_thread.queue;
}

// Answers every message sent to the calling thread's windows.
void HandleSent(ThreadQueue& queue) {
  for (;;) {
    SentMessage sent;
    {
      std::lock_guard guard(queue.mutex);
      if (queue.sent.empty()) return;
      sent = std::move(queue.sent.front());
      queue.sent.pop_front();
      queue.Counted(sent.hwnd, -1);
    }
    std::shared_ptr<LocalWindow> window = Messages::Get().Window(sent.hwnd);
    if (window == nullptr || window->tid != queue.tid) {
      SendReply(sent.reply_to, 0, false);
      continue;
    }
    LRESULT result = window->proc(sent.hwnd, sent.message, sent.wparam, sent.lparam);
    SendReply(sent.reply_to, result, true);
  }
}

// Makes room for one more posted message in the window's count; false when
// it has kMaxPosted already.
bool ReservePost(WindowEntry& entry) {
  if (entry.posted.fetch_add(1) < kMaxPosted) return true;
  entry.posted.fetch_sub(1);
  return false;
}

// A posted message of `hwnd` left its queue.
void ReleasePost(HWND hwnd) {
  Instance* instance = Instance::Get();
  WindowEntry* entry = instance != nullptr ? instance->WindowSlot(hwnd) : nullptr;
  if (entry == nullptr || entry->hwnd.load(std::memory_order_acquire) != hwnd) return;
  uint32_t count = entry->posted.load();
  while (count != 0 && !entry->posted.compare_exchange_weak(count, count - 1)) {
  }
}

bool Matches(const MSG& msg, HWND hwnd, UINT filter_min, UINT filter_max) {
  if (hwnd != 0 && msg.hwnd != hwnd) return false;
  if (filter_min == 0 && filter_max == 0) return true;
  return msg.message >= filter_min && msg.message <= filter_max;
}

// Takes (or, without `remove`, copies) the first posted message that
// matches, else WM_QUIT when it is pending. Queue lock held.
bool TakePosted(ThreadQueue& queue, MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max,
                bool remove) {
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(*it, hwnd, filter_min, filter_max)) continue;
    *msg = *it;
    if (remove) {
      queue.posted.erase(it);
      queue.Counted(msg->hwnd, -1);
      ReleasePost(msg->hwnd);
      if (auto adopted = queue.adopted.find(msg->lParam); adopted != queue.adopted.end()) {
        queue.adopted.erase(adopted);
      }
    }
    return true;
  }
  if (!queue.quit) return false;
  *msg = MSG{0, WM_QUIT, static_cast<WPARAM>(queue.quit_code), 0, TickCount()};
  if (remove) queue.quit = false;
  return true;
}

// Waits for the queue's wake-up (or `other`, when not -1) until `deadline`.
// Returns true when `other` became readable.
bool Sleep(const ThreadQueue& queue, int other, const internal::Deadline& deadline, int slice_ms) {
  pollfd fds[2] = {{queue.wake_fd, POLLIN, 0}, {other, POLLIN, 0}};
  int timeout = deadline.RemainingMs();
  if (slice_ms >= 0 && (timeout < 0 || timeout > slice_ms)) timeout = slice_ms;
  int count = poll(fds, other >= 0 ? 2 : 1, timeout);
  queue.Drain();
  return count > 0 && other >= 0 && (fds[1].revents & (POLLIN | POLLHUP)) != 0;
}

bool OwnsWindow(const ThreadQueue& queue, HWND hwnd) {
  if (hwnd == 0) return true;
  std::shared_ptr<LocalWindow> window = Messages::Get().Window(hwnd);
  return window != nullptr && window->tid == queue.tid;
}

// Waits for the reply to `sequence` (registered as awaited before it was
// sent), handling messages sent to this thread meanwhile; false when the
// window's process (`pidfd`, and `target` in the registry) ends or the
// window goes first.
bool AwaitReply(Instance& instance, ThreadQueue& queue, HWND hwnd, const Target& target,
                uint64_t sequence, int pidfd, LRESULT* result) {
  internal::Deadline forever = internal::Deadline::After(INFINITE);
  bool gone = false;
  for (;;) {
    HandleSent(queue);
    {
      std::lock_guard guard(queue.mutex);
      auto found = queue.replies.find(sequence);
      if (found != queue.replies.end()) {
        Reply reply = found->second;
        queue.replies.erase(found);
        queue.awaiting.erase(sequence);
        *result = reply.result;
        return reply.handled;
      }
      if (gone) {
        queue.awaiting.erase(sequence);
        return false;
      }
    }
    bool died = Sleep(queue, pidfd, forever, kSendRecheckMs);
    Target now;
    gone = died || !Resolve(instance, hwnd, &now) || !OwnerAlive(instance, target);
  }
}

// Registers a send as awaited before its message can be answered.
void Await(ThreadQueue& queue, uint64_t sequence) {
  std::lock_guard guard(queue.mutex);
  queue.awaiting.insert(sequence);
}

LRESULT FailSend() {
  internal::SetError(ERROR_INVALID_WINDOW_HANDLE);
  return 0;
}

// Fails a send whose window's process died, clearing what it left.
LRESULT FailSendToDead(Instance& instance) {
  instance.ReapDead();
  return FailSend();
}

// Removes what is queued for a window that goes, answering its senders,
// and closes its readiness descriptor.
void DropQueued(ThreadQueue& queue, HWND hwnd) {
  std::deque<SentMessage> orphans;
  std::vector<LPARAM> blocks;
  {
    std::lock_guard guard(queue.mutex);
    auto watched = queue.watched.find(hwnd);
    if (watched != queue.watched.end()) {
      close(watched->second.fd);
      queue.watched.erase(watched);
    }
    std::erase_if(queue.posted, [&](const MSG& msg) {
      if (msg.hwnd != hwnd) return false;
      if (auto adopted = queue.adopted.find(msg.lParam); adopted != queue.adopted.end()) {
        queue.adopted.erase(adopted);
        blocks.push_back(msg.lParam);
      }
      return true;
    });
    for (auto it = queue.sent.begin(); it != queue.sent.end();) {
      if (it->hwnd == hwnd) {
        orphans.push_back(std::move(*it));
        it = queue.sent.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const SentMessage& sent : orphans) SendReply(sent.reply_to, 0, false);
  Instance* instance = Instance::Get();
  if (instance == nullptr) return;
  for (LPARAM block : blocks) internal::FreeOwnedGlobalBlock(block, instance->slot());
}

int NoDescriptor(DWORD error) {
  internal::SetError(error);
  return -1;
}

}  // namespace

HWND CreateMessageWindow(WindowProc proc) noexcept try {
  if (!proc) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Instance* instance = Instance::Get();
  if (instance == nullptr || !Messages::Get().StartTransport(*instance)) return 0;
  ThreadQueue& queue = OwnQueue();
  auto window =
      std::make_shared<LocalWindow>(LocalWindow{std::move(proc), queue.tid, t_thread.queue});
  Instance::Lock lock(*instance);
  instance->ReapDeadLocked();
  internal::Registry& registry = instance->registry();
  for (uint32_t index = 0; index < internal::kMaxWindows; ++index) {
    WindowEntry& entry = registry.windows[index];
    if (entry.hwnd.load() != 0) continue;
    uint32_t generation = (entry.generation.load() + 1) & 0xFFFF;
    if (generation == 0) generation = 1;
    entry.generation.store(generation);
    internal::RegistryEditPoint();
    HWND hwnd = generation << 16 | (index + 1);
    entry.owner_slot.store(instance->slot());
    entry.owner_generation.store(instance->generation());
    entry.pid.store(GetCurrentProcessId());
    entry.tid.store(queue.tid);
    entry.idle_count.store(0);
    entry.posted.store(0);
    internal::RegistryEditPoint();
    // Known here before anyone can find it in the table.
    Messages::Get().AddWindow(hwnd, std::move(window));
    entry.hwnd.store(hwnd, std::memory_order_release);
    internal::RegistryEditPoint();
    return hwnd;
  }
  static_cast<void>(ZEL_ERROR_POINT("PLAT_WINDOW_TABLE_FULL"));
  internal::SetError(ERROR_NO_SYSTEM_RESOURCES);
  return 0;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(HWND{0});
}

bool DestroyWindow(HWND hwnd) noexcept try {
  std::shared_ptr<LocalWindow> window = Messages::Get().Window(hwnd);
  Instance* instance = Instance::Attached();
  if (window == nullptr || instance == nullptr) return internal::Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (window->tid != GetCurrentThreadId()) return internal::Fail(ERROR_ACCESS_DENIED);
  window->proc(hwnd, WM_DESTROY, 0, 0);
  {
    Instance::Lock lock(*instance);
    WindowEntry* entry = instance->WindowSlot(hwnd);
    if (entry != nullptr && entry->hwnd.load() == hwnd) {
      entry->hwnd.store(0);
      internal::RegistryEditPoint();
    }
  }
  Messages::Get().RemoveWindow(hwnd);
  DropQueued(*window->queue, hwnd);
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept try {
  Instance* instance = Instance::Get();
  Target target;
  if (instance == nullptr || !Resolve(*instance, hwnd, &target)) {
    return internal::Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  if (IsOwnProcess(*instance, target)) {
    std::shared_ptr<LocalWindow> window = Messages::Get().Window(hwnd);
    if (window == nullptr) return internal::Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (!ReservePost(*instance->WindowSlot(hwnd))) return internal::Fail(ERROR_NOT_ENOUGH_QUOTA);
    {
      std::lock_guard guard(window->queue->mutex);
      window->queue->PushPosted(MSG{hwnd, message, wParam, lParam, TickCount()});
    }
    window->queue->Wake();
    return true;
  }
  if (!Messages::Get().StartTransport(*instance)) return false;
  WindowEntry& entry = *instance->WindowSlot(hwnd);
  if (!ReservePost(entry)) {
    trace::Rc(kTag, -62, "PostMessage() queue full, msg=", message);
    return internal::Fail(ERROR_NOT_ENOUGH_QUOTA);
  }
  Datagram datagram{};
  datagram.magic = kDatagramMagic;
  datagram.kind = Kind::kPosted;
  datagram.hwnd = hwnd;
  datagram.message = message;
  datagram.wparam = wParam;
  datagram.lparam = lParam;
  datagram.time = TickCount();
  // A global block posted to another process becomes that process's.
  internal::TransferGlobalBlock(lParam, target.slot);
  int error;
  {
    PostLock post_lock(entry);
    error = Messages::Get().SendTo(*instance, target.slot, target.generation, datagram);
  }
  if (error == 0) return true;
  entry.posted.fetch_sub(1);
  internal::TransferGlobalBlock(lParam, instance->slot());
  if (error == EAGAIN || error == EWOULDBLOCK) {
    trace::Rc(kTag, -62, "PostMessage() receiver not reading, msg=", message);
    return internal::Fail(ERROR_NOT_ENOUGH_QUOTA);
  }
  // The process is gone: clear what it left behind.
  instance->ReapDead();
  return internal::Fail(ERROR_INVALID_WINDOW_HANDLE);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept try {
  Instance* instance = Instance::Get();
  Target target;
  if (instance == nullptr || !Resolve(*instance, hwnd, &target)) return FailSend();
  ThreadQueue& queue = OwnQueue();
  uint64_t sequence = Messages::Get().NextSequence();
  LRESULT result = 0;
  if (IsOwnProcess(*instance, target)) {
    std::shared_ptr<LocalWindow> window = Messages::Get().Window(hwnd);
    if (window == nullptr) return FailSend();
    if (window->tid == queue.tid) {
      result = window->proc(hwnd, message, wParam, lParam);
      internal::SetError(NO_ERROR);
      return result;
    }
    Await(queue, sequence);
    {
      std::lock_guard guard(window->queue->mutex);
      window->queue->PushSent(
          SentMessage{hwnd, message, wParam, lParam, ReplyTo{t_thread.queue, 0, 0, 0, sequence}});
    }
    window->queue->Wake();
    if (!AwaitReply(*instance, queue, hwnd, target, sequence, -1, &result)) return FailSend();
    internal::SetError(NO_ERROR);
    return result;
  }
  if (!Messages::Get().StartTransport(*instance)) return 0;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, target.pid, 0));
  if (pidfd < 0 || !OwnerAlive(*instance, target)) {
    if (pidfd >= 0) close(pidfd);
    return FailSendToDead(*instance);
  }
  Datagram datagram{};
  datagram.magic = kDatagramMagic;
  datagram.kind = Kind::kSent;
  datagram.hwnd = hwnd;
  datagram.message = message;
  datagram.wparam = wParam;
  datagram.lparam = lParam;
  datagram.sequence = sequence;
  datagram.sender_slot = instance->slot();
  datagram.sender_generation = instance->generation();
  datagram.sender_tid = queue.tid;
  Await(queue, sequence);
  bool handled = false;
  if (Messages::Get().SendTo(*instance, target.slot, target.generation, datagram) == 0) {
    handled = AwaitReply(*instance, queue, hwnd, target, sequence, pidfd, &result);
  } else {
    std::lock_guard guard(queue.mutex);
    queue.awaiting.erase(sequence);
  }
  close(pidfd);
  if (!handled) return OwnerAlive(*instance, target) ? FailSend() : FailSendToDead(*instance);
  internal::SetError(NO_ERROR);
  return result;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(LRESULT{0});
}

int GetMessage(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max) noexcept {
  return GetMessageTimeout(msg, hwnd, filter_min, filter_max, INFINITE);
}

int GetMessageTimeout(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max,
                      DWORD timeout_ms) noexcept try {
  ThreadQueue& queue = OwnQueue();
  if (msg == nullptr || !OwnsWindow(queue, hwnd)) {
    internal::SetError(msg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  internal::Deadline deadline = internal::Deadline::After(timeout_ms);
  for (bool looked = false;; looked = !looked) {
    HandleSent(queue);
    {
      std::lock_guard guard(queue.mutex);
      if (TakePosted(queue, msg, hwnd, filter_min, filter_max, true)) {
        return msg->message == WM_QUIT ? 0 : 1;
      }
    }
    // Raising the idle count may move messages into the queue: look again
    // before sleeping.
    if (!looked) {
      NoteIdle(queue);
      continue;
    }
    if (deadline.Passed()) {
      internal::SetError(ERROR_TIMEOUT);
      return -1;
    }
    Sleep(queue, -1, deadline, -1);
  }
} catch (...) {
  return ZEL_PLATFORM_FAILURE(-1);
}

bool PeekMessage(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max, UINT remove) noexcept try {
  ThreadQueue& queue = OwnQueue();
  if (msg == nullptr) return internal::Fail(ERROR_INVALID_PARAMETER);
  HandleSent(queue);
  {
    std::lock_guard guard(queue.mutex);
    if (TakePosted(queue, msg, hwnd, filter_min, filter_max, (remove & PM_REMOVE) != 0)) {
      return true;
    }
  }
  NoteIdle(queue);
  return false;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

LRESULT DispatchMessage(const MSG* msg) noexcept try {
  if (msg == nullptr) return 0;
  std::shared_ptr<LocalWindow> window = Messages::Get().Window(msg->hwnd);
  if (window == nullptr || window->tid != GetCurrentThreadId()) return 0;
  return window->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(LRESULT{0});
}

DWORD WaitMessage(DWORD timeout_ms) noexcept try {
  ThreadQueue& queue = OwnQueue();
  internal::Deadline deadline = internal::Deadline::After(timeout_ms);
  for (bool looked = false;; looked = !looked) {
    HandleSent(queue);
    {
      std::lock_guard guard(queue.mutex);
      if (!queue.posted.empty() || queue.quit) return WAIT_OBJECT_0;
    }
    if (!looked) {
      NoteIdle(queue);
      continue;
    }
    if (deadline.Passed()) return WAIT_TIMEOUT;
    Sleep(queue, -1, deadline, -1);
  }
} catch (...) {
  return ZEL_PLATFORM_FAILURE(WAIT_FAILED);
}

void PostQuitMessage(int exit_code) noexcept try {
  ThreadQueue& queue = OwnQueue();
  {
    std::lock_guard guard(queue.mutex);
    queue.quit = true;
    queue.quit_code = exit_code;
  }
  queue.Wake();
} catch (...) {
  static_cast<void>(ZEL_PLATFORM_ERROR());
}

int GetWindowReadyFd(HWND hwnd) noexcept try {
  std::shared_ptr<LocalWindow> window = Messages::Get().Window(hwnd);
  if (window == nullptr) return NoDescriptor(ERROR_INVALID_WINDOW_HANDLE);
  if (window->tid != GetCurrentThreadId()) return NoDescriptor(ERROR_ACCESS_DENIED);
  int fd = window->queue->ReadyFd(hwnd);
  if (fd < 0) return NoDescriptor(internal::ErrorFromErrno(errno));
  return fd;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(-1);
}

bool IsWindow(HWND hwnd) noexcept try {
  Instance* instance = Instance::Get();
  Target target;
  return instance != nullptr && Resolve(*instance, hwnd, &target) && OwnerAlive(*instance, target);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process_id) noexcept try {
  if (process_id != nullptr) *process_id = 0;
  Instance* instance = Instance::Get();
  Target target;
  if (instance == nullptr || !Resolve(*instance, hwnd, &target) || !OwnerAlive(*instance, target)) {
    internal::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (process_id != nullptr) *process_id = target.pid;
  return target.tid;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(DWORD{0});
}

bool GetWindowIdleCount(HWND hwnd, DWORD* count) noexcept try {
  if (count == nullptr) return internal::Fail(ERROR_INVALID_PARAMETER);
  Instance* instance = Instance::Get();
  Target target;
  if (instance == nullptr || !Resolve(*instance, hwnd, &target)) {
    return internal::Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  WindowEntry& entry = *instance->WindowSlot(hwnd);
  DWORD idle = entry.idle_count.load(std::memory_order_acquire);
  // Gone meanwhile: the count may be another window's.
  if (entry.hwnd.load(std::memory_order_acquire) != hwnd || !OwnerAlive(*instance, target)) {
    return internal::Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  *count = idle;
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
