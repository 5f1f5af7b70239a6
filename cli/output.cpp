#include "cli/output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace {

// The temporary files not yet put in place. Changed only with SIGINT and SIGTERM blocked, so the
// handler, which runs on this (the only) thread, always sees a whole list.
std::vector<char*>& Temporaries() {
  static std::vector<char*> names;
  return names;
}

class cSignalsBlocked {
 public:
  cSignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, &saved);
  }
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

extern "C" void RemoveTemporariesAndExit(int signal) {
  // unlink and _exit are async-signal-safe; the list is read only.
  for (char* name : Temporaries()) {
    if (name != nullptr) unlink(name);
  }
  _exit(128 + signal);
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

// Creates a temporary file beside target, ".convexdecomp-NAME.XXXXXX" (NAME cut to 200
// characters to stay within NAME_MAX), under a name nothing had: an existing name, whatever it
// is (another file's hard link, a FIFO, a device), is never opened, only passed over. Listed for
// removal at once, with the signals that remove the list blocked, so that a signal removes it
// but never a name the run did not make. 0 or an errno; name and fd then the new file's.
int CreateTemporary(const std::string& target, mode_t mode, std::string& name, int& fd) {
  const std::string stem = FolderOf(target) + ".convexdecomp-" + BaseNameOf(target).substr(0, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = stem + "." + UniqueSuffix();
    const cSignalsBlocked blocked;
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return errno;
    Register(name);
    if (fchmod(fd, mode) != 0) return errno;
    return 0;
  }
  return EEXIST;
}

}  // namespace

void InstallInterruptCleanup() {
  Temporaries().reserve(16);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RemoveTemporariesAndExit;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
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

cOutputFile::cOutputFile(std::string path) : path(std::move(path)) {}

cOutputFile::~cOutputFile() {
  Abandon();
}

int cOutputFile::Open(mode_t mode) {
  if (path.empty() || path.back() == '/') return EISDIR;
  const std::string target = ResolveLinks(path);
  if (target.empty()) return ELOOP;
  if (const int given = NamedDescriptor(target); given >= 0) return OpenDescriptor(given);
  struct stat info;
  if (stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    // rename() would refuse a directory only after all the work; tell at once.
    if (S_ISDIR(info.st_mode)) return EISDIR;
    // A FIFO blocks here until a reader opens it, as a shell's redirection does.
    inPlace = true;
    deviceFd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (deviceFd < 0) return errno;
    stream = open_memstream(&buffer, &bufferSize);
    return stream == nullptr ? errno : 0;
  }
  int fd = -1;
  std::string name;
  const int error = CreateTemporary(target, mode, name, fd);
  if (fd >= 0) temporary = name;
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
  deviceFd = fcntl(given, F_DUPFD_CLOEXEC, 0);
  if (deviceFd < 0) return errno;
  stream = open_memstream(&buffer, &bufferSize);
  return stream == nullptr ? errno : 0;
}

int cOutputFile::Finish() {
  if (stream == nullptr) return EBADF;
  const bool failed = std::fflush(stream) != 0 || std::ferror(stream) != 0;
  int error = failed ? (errno != 0 ? errno : EIO) : 0;
  if (error == 0 && deviceFd < 0 && fsync(fileno(stream)) != 0) error = errno;
  if (std::fclose(stream) != 0 && error == 0) error = errno;
  stream = nullptr;
  return error;
}

int cOutputFile::Commit() {
  if (inPlace) {
    if (deviceFd < 0) return EBADF;
    // The lines already printed come first when both go to one file.
    if (throughDescriptor) std::fflush(stdout);
    int error = 0;
    for (std::size_t done = 0; done < bufferSize && error == 0;) {
      const ssize_t n = write(deviceFd, buffer + done, bufferSize - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        error = errno;
      }
    }
    if (close(deviceFd) != 0 && error == 0 && errno != EINTR) error = errno;
    deviceFd = -1;
    return error;
  }
  const cSignalsBlocked blocked;
  if (std::rename(temporary.c_str(), finalPath.c_str()) != 0) return errno;
  Unregister(temporary);
  temporary.clear();
  return 0;
}

void cOutputFile::Abandon() {
  if (stream != nullptr) std::fclose(stream);
  stream = nullptr;
  if (deviceFd >= 0) close(deviceFd);
  deviceFd = -1;
  std::free(buffer);
  buffer = nullptr;
  bufferSize = 0;
  if (!temporary.empty()) {
    unlink(temporary.c_str());
    Unregister(temporary);
  }
  temporary.clear();
}
