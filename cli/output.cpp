#include "cli/output.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace {

// The temporary files not yet put in place. Changed only with the handled signals blocked, so
// the handler, which runs on this (the only) thread, always sees a whole list.
std::vector<char*>& Temporaries() {
  static std::vector<char*> names;
  return names;
}

// The signals whose handler removes the temporary files, and what they did before.
sigset_t handledSignals;
struct sigaction previousActions[NSIG];

class cSignalsBlocked {
 public:
  cSignalsBlocked() { sigprocmask(SIG_BLOCK, &handledSignals, &saved); }
  ~cSignalsBlocked() { sigprocmask(SIG_SETMASK, &saved, nullptr); }

 private:
  sigset_t saved;
};

void Register(const std::string& name) {
  const cSignalsBlocked blocked;
  Temporaries().push_back(strdup(name.c_str()));
}

void Unregister(const std::string& name) {
  const cSignalsBlocked blocked;
  auto& names = Temporaries();
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (*it != nullptr && name == *it) {
      std::free(*it);
      names.erase(it);
      return;
    }
  }
}

// Signals a fault in the program raises (also when another process sends them).
bool IsFault(int signal) {
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL ||
         signal == SIGABRT || signal == SIGTRAP || signal == SIGSYS;
}

extern "C" void RemoveTemporariesAndEnd(int signal, siginfo_t* info, void*) {
  // unlink, sigaction, raise and _exit are async-signal-safe; the list is read only.
  for (char* name : Temporaries()) {
    if (name != nullptr) unlink(name);
  }
  if (!IsFault(signal)) _exit(128 + signal);
  // A fault ends the run as it would have (a core dump, a sanitizer's report): the action from
  // before comes back, and a fault the kernel raised happens again when this handler returns;
  // one sent by a process is sent again.
  sigaction(signal, &previousActions[signal], nullptr);
  if (info == nullptr || info->si_code <= 0) raise(signal);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// Six characters for a temporary name, different in every call: the kernel's random bytes, or
// the time, the process and a count when there are none.
std::string UniqueSuffix() {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static unsigned long count = 0;
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) ^
                             (static_cast<unsigned long long>(getpid()) << 20) ^ (++count << 40);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(mix), mix >>= 8;
  }
  std::string suffix;
  for (const unsigned char byte : bytes) suffix += kDigits[byte % 62];
  return suffix;
}

// ".convexdecomp-NAME" beside target, the stem of every temporary file for it. NAME is cut to
// 200 characters to stay within NAME_MAX; a longer one gets a hash of the whole name, so that
// names alike in their first 200 characters have stems of their own.
std::string TemporaryStem(const std::string& target) {
  const std::string base = BaseNameOf(target);
  std::string stem = FolderOf(target) + ".convexdecomp-" + base.substr(0, 200);
  if (base.size() > 200) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : base) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "~%08x", static_cast<unsigned>(hash));
    stem += text;
  }
  return stem;
}

// Whether another open file of the regular file at name holds an exclusive lock on it: a run
// that is writing it, or has put it in place and not yet finished.
bool LockedElsewhere(const std::string& name) {
  struct stat info;
  if (lstat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return locked;
}

// Whether a run other than this one writes target: one of its temporary files (stem, a point and
// six characters) other than own, or target itself, is locked. Every run locks its temporary
// file before it looks, so of two runs that start together at least one sees the other.
bool AnotherRunWrites(const std::string& target, const std::string& stem, const std::string& own) {
  if (LockedElsewhere(target)) return true;
  const std::string folder = FolderOf(stem), prefix = BaseNameOf(stem) + ".";
  DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
  if (listing == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (folder + name != own && LockedElsewhere(folder + name)) {
      found = true;
      break;
    }
  }
  closedir(listing);
  return found;
}

// Creates a temporary file for target, stem, a point and six characters, under a name nothing
// had: an existing name, whatever it is (another file's hard link, a FIFO, a device), is never
// opened, only passed over. Listed for removal at once, with the signals that remove the list
// blocked, so that a signal removes it but never a name the run did not make; then locked.
// 0 or an errno; name and fd then the new file's (fd -1 when none was made).
int CreateTemporary(const std::string& stem, mode_t mode, std::string& name, int& fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = stem + "." + UniqueSuffix();
    const cSignalsBlocked blocked;
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return errno;
    Register(name);
    if (fchmod(fd, mode) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
    return 0;
  }
  return EEXIST;
}

// Gives the file fd the owner and group of the file it replaces, as far as this user may (root
// any, others a group they belong to); its mode again, since a change of owner clears the
// set-user-ID and set-group-ID bits.
void KeepOwner(int fd, const struct stat& replaced) {
  if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    return;
  }
  if (fchmod(fd, replaced.st_mode & 07777) != 0) return;
}

// A hard link to the file at target under a new name beside it (the stem's scheme), or "" when
// none could be made (a file system without hard links).
std::string LinkBackup(const std::string& target, const std::string& stem) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = stem + "." + UniqueSuffix();
    if (link(target.c_str(), name.c_str()) == 0) return name;
    if (errno != EEXIST) return "";
  }
  return "";
}

}  // namespace

void InstallInterruptCleanup() {
  Temporaries().reserve(16);
  // Every signal whose default action ends the process; the ones that stop it, or that it
  // ignores by default, leave the run going.
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM,   SIGUSR1,
                              SIGUSR2, SIGPOLL, SIGPROF, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPWR,
                              SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGABRT, SIGTRAP,   SIGSYS};
#ifdef SIGSTKFLT
  signals.push_back(SIGSTKFLT);
#endif
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) signals.push_back(signal);
  sigemptyset(&handledSignals);
  std::vector<int> taken;
  for (const int signal : signals) {
    // One ignored when the run starts (nohup, a background job) stays ignored.
    if (sigaction(signal, nullptr, &previousActions[signal]) != 0) continue;
    if (previousActions[signal].sa_handler == SIG_IGN) continue;
    sigaddset(&handledSignals, signal);
    taken.push_back(signal);
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = RemoveTemporariesAndEnd;
  action.sa_flags = SA_SIGINFO;
  action.sa_mask = handledSignals;  // one handler at a time
  for (const int signal : taken) sigaction(signal, &action, nullptr);
}

void KeepStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor, so this one: the ones below are open by now.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened > fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

int NamedDescriptor(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  std::string number;
  for (const char* folder : {"/dev/fd/", "/proc/self/fd/"}) {
    if (path.rfind(folder, 0) == 0) number = path.substr(std::strlen(folder));
  }
  if (number.empty() || number.size() > 9) return -1;
  int fd = 0;
  for (const char c : number) {
    if (c < '0' || c > '9') return -1;
    fd = fd * 10 + (c - '0');
  }
  return fd;
}

std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int links = 0; links <= 40; ++links) {
    if (NamedDescriptor(current) >= 0) return current;
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return "";
    const std::string next(target.data(), static_cast<std::size_t>(length));
    current = next.front() == '/' ? next : FolderOf(current) + next;
  }
  return "";
}

cOutputFile::cOutputFile(std::string path, bool holdLock)
    : path(std::move(path)), holdLock(holdLock) {}

cOutputFile::~cOutputFile() {
  Abandon();
}

int cOutputFile::Open(mode_t mode) {
  if (path.empty() || path.back() == '/') return EISDIR;
  const std::string target = ResolveLinks(path);
  if (target.empty()) return ELOOP;
  if (const int given = NamedDescriptor(target); given >= 0) return OpenDescriptor(given);
  struct stat info;
  const bool exists = stat(target.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    // rename() would refuse a directory only after all the work; tell at once.
    if (S_ISDIR(info.st_mode)) return EISDIR;
    // A FIFO blocks here until a reader opens it, as a shell's redirection does.
    inPlace = true;
    return StreamInto(open(target.c_str(), O_WRONLY | O_CLOEXEC));
  }
  // The rename needs only the folder's permission; a file this user may not write is not
  // replaced all the same.
  if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return errno;
  int fd = -1;
  std::string name;
  const std::string stem = TemporaryStem(target);
  int error = CreateTemporary(stem, exists ? info.st_mode & 07777 : mode, name, fd);
  if (fd >= 0) temporary = name;
  if (error == 0 && exists) KeepOwner(fd, info);
  if (error == 0 && holdLock && AnotherRunWrites(target, stem, name)) error = EBUSY;
  // The lock lasts as long as a copy of the descriptor is open.
  if (error == 0 && holdLock && (lockFd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) error = errno;
  if (error != 0) {
    if (fd >= 0) close(fd);
    Abandon();
    return error;
  }
  finalPath = target;
  stream = fdopen(fd, "w");
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    Abandon();
    return error;
  }
  return 0;
}

int cOutputFile::OpenDescriptor(int given) {
  // Every descriptor this process opens is closed on exec; one that is not came with the
  // process. The run's own files are not outputs to write into.
  const int flags = fcntl(given, F_GETFL), fdFlags = fcntl(given, F_GETFD);
  if (flags < 0 || fdFlags < 0 || (fdFlags & FD_CLOEXEC) != 0) return EBADF;
  if ((flags & O_ACCMODE) == O_RDONLY) return EBADF;
  struct stat info;
  if (fstat(given, &info) != 0) return errno;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  inPlace = true;
  throughDescriptor = true;
  return StreamInto(fcntl(given, F_DUPFD_CLOEXEC, 0));
}

int cOutputFile::StreamInto(int fd) {
  if (fd < 0) return errno;
  stream = fdopen(fd, "w");
  if (stream != nullptr) return 0;
  const int error = errno;
  close(fd);
  return error;
}

std::FILE* cOutputFile::Stream() {
  // The lines already printed come first when both go to one file.
  if (throughDescriptor) std::fflush(stdout);
  return stream;
}

int cOutputFile::Finish() {
  if (stream == nullptr) return EBADF;
  const bool failed = std::fflush(stream) != 0 || std::ferror(stream) != 0;
  int error = failed ? (errno != 0 ? errno : EIO) : 0;
  if (error == 0 && !inPlace && fsync(fileno(stream)) != 0) error = errno;
  if (std::fclose(stream) != 0 && error == 0) error = errno;
  stream = nullptr;
  return error;
}

int cOutputFile::Commit() {
  if (inPlace) return stream == nullptr ? 0 : EBADF;  // written as it was made
  const cSignalsBlocked blocked;
  if (std::rename(temporary.c_str(), finalPath.c_str()) != 0) return errno;
  Unregister(temporary);
  temporary.clear();
  return 0;
}

void cOutputFile::Abandon() {
  if (stream != nullptr) std::fclose(stream);
  stream = nullptr;
  if (lockFd >= 0) close(lockFd);
  lockFd = -1;
  if (!temporary.empty()) {
    unlink(temporary.c_str());
    Unregister(temporary);
  }
  temporary.clear();
}

int CommitOutputs(const std::vector<cOutputFile*>& outputs, cOutputFile*& failed) {
  // Devices and FIFOs were written as their streams were, and are complete once finished.
  for (cOutputFile* file : outputs) {
    if (!file->InPlace()) continue;
    failed = file;
    if (const int error = file->Commit(); error != 0) return error;
  }
  // The renames, and their undoing when one fails, are not cut short by a signal.
  const cSignalsBlocked blocked;
  struct cStep {
    cOutputFile* file = nullptr;
    bool existed = false;  // a file was in place before
    std::string backup;    // a hard link to it while the renames run
  };
  std::vector<cStep> steps;
  for (cOutputFile* file : outputs) {
    if (file->InPlace() || file->temporary.empty()) continue;
    cStep step;
    step.file = file;
    struct stat info;
    step.existed = lstat(file->finalPath.c_str(), &info) == 0;
    if (step.existed) step.backup = LinkBackup(file->finalPath, TemporaryStem(file->finalPath));
    steps.push_back(step);
  }
  // A file that could not be kept goes last: no rename after it can fail and want it back.
  std::stable_partition(steps.begin(), steps.end(),
                        [](const cStep& step) { return !step.existed || !step.backup.empty(); });
  int error = 0;
  std::size_t done = 0;
  for (; done < steps.size(); ++done) {
    cOutputFile& file = *steps[done].file;
    if (std::rename(file.temporary.c_str(), file.finalPath.c_str()) != 0) {
      error = errno;
      failed = &file;
      break;
    }
    Unregister(file.temporary);
    file.temporary.clear();
  }
  // On a failure, what was in place before is put back: the old file from its link, or no file.
  for (std::size_t i = 0; error != 0 && i < done; ++i) {
    const cStep& step = steps[i];
    if (!step.existed) {
      unlink(step.file->finalPath.c_str());
    } else if (step.backup.empty()) {
      std::fprintf(stderr, "convexdecomp-cli: cannot put back %s: no link to it could be made\n",
                   step.file->finalPath.c_str());
    } else if (std::rename(step.backup.c_str(), step.file->finalPath.c_str()) != 0) {
      std::fprintf(stderr, "convexdecomp-cli: cannot put back %s: %s; it is kept as %s\n",
                   step.file->finalPath.c_str(), std::strerror(errno), step.backup.c_str());
    }
  }
  for (std::size_t i = error != 0 ? done : 0; i < steps.size(); ++i) {
    if (!steps[i].backup.empty()) unlink(steps[i].backup.c_str());
  }
  return error;
}

int cFolderLock::Take(const std::string& folder) {
  fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  const int error = errno == EWOULDBLOCK ? EBUSY : errno;
  close(fd);
  fd = -1;
  return error;
}

cFolderLock::~cFolderLock() {
  if (fd >= 0) close(fd);
}
