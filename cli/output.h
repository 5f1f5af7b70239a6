// The batch tool's output files: each appears complete or not at all, several are put in place
// together, and an interrupted run leaves no temporary file behind.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

// Handlers for every signal that would end the process (SIGINT, SIGTERM, SIGHUP, SIGPIPE,
// SIGALRM, SIGUSR1, ...) that remove every temporary file still waiting to be put in place and
// end the process with 128 + the signal number (130, 143, ...); after a fault signal (SIGSEGV,
// SIGABRT, ...) the process ends as it would have without the handler. A signal ignored when the
// process starts stays ignored.
void InstallInterruptCleanup();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the run
// opens takes one of them and gets the lines meant for standard output or error. Call first.
void KeepStandardDescriptors();

// The folder part of path with its closing slash ("" when path names no folder), and the rest.
std::string FolderOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

// The descriptor a path names when it is one of /dev/stdin, /dev/stdout, /dev/stderr,
// /dev/fd/N or /proc/self/fd/N; else -1. Such a name stands for the open file behind the
// descriptor, which may have no name of its own (a pipe).
int NamedDescriptor(const std::string& path);

// Follows symbolic links at the end of path (relative targets against the link's folder) until
// a name that is no link, whether it exists or not, or a name of a descriptor (NamedDescriptor),
// which is kept as it is. Gives up after 40 links, returning "".
std::string ResolveLinks(const std::string& path);

// One output. A regular file (or a name not yet taken) is written to a temporary file beside
// it, ".convexdecomp-NAME.XXXXXX" (a name made for it that nothing had), and renamed over it by
// Commit; a link is followed and its target written. Anything else (a device, a FIFO) is opened
// at once and written in place as Stream is written, never held in memory, since renaming over
// it would replace the device node rather than write to it; a failed run may have written part
// of it. A name of a descriptor the process was given (/dev/stdout, /dev/fd/3) is written in
// place through that descriptor, at its offset or, when it appends, at the end, after what
// standard output holds.
//
// The file put in place keeps the mode of the one it replaces, and its owner and group as far as
// the user may give them; an existing file the user may not write is refused (EACCES), although
// renaming over it would work.
//
// A run removes only the temporary files it made: one left by a run killed without a chance to
// clean up (SIGKILL) stays, and so does any file that only looks like one.
//
// A run locks its temporary files (flock) from their making until the outputs are in place and
// the run is done, and before it writes looks for a lock on the output or on another temporary
// file of it: two runs writing the same output at once do not both go on, the second fails with
// EBUSY.
class cOutputFile {
 public:
  // holdLock: the run looks for other runs writing path, and the temporary file stays locked
  // after Finish, and once renamed into place, until the object is gone. False for the many
  // files of a folder the run locks as a whole (cFolderLock), which need neither.
  explicit cOutputFile(std::string path, bool holdLock = true);
  ~cOutputFile();  // Abandon
  cOutputFile(const cOutputFile&) = delete;
  cOutputFile& operator=(const cOutputFile&) = delete;

  const std::string& Path() const { return path; }
  // Where to write the output. For an output through a descriptor, standard output is flushed
  // first, so that the lines printed before come first when both reach one file.
  std::FILE* Stream();
  // Written in place (a device or a FIFO) rather than renamed into place.
  bool InPlace() const { return inPlace; }

  // Creates the temporary file with mode, or the mode of the file it replaces (or opens the
  // device). 0 or the errno of the failure.
  int Open(mode_t mode);
  // Flushes, syncs and closes what Stream wrote. 0 or the errno of the failure.
  int Finish();
  // Puts the finished file in place. 0 or the errno of the failure. CommitOutputs does it for
  // all outputs of a run together.
  int Commit();
  // Removes the temporary file, if any.
  void Abandon();

 private:
  friend int CommitOutputs(const std::vector<cOutputFile*>& outputs, cOutputFile*& failed);
  int OpenDescriptor(int given);
  int StreamInto(int fd);  // in place: stream writes fd (-1: errno tells why there is none)

  std::string path;
  std::string finalPath;  // path with its links followed
  std::string temporary;  // while it exists
  bool holdLock = true;
  int lockFd = -1;  // a copy of the temporary file's descriptor, keeping its lock
  std::FILE* stream = nullptr;
  bool inPlace = false;
  bool throughDescriptor = false;  // stream writes a copy of a descriptor the process was given
};

// Puts every finished output in place, as one step as far as a file system allows: the temporary
// files are renamed over their targets (devices and FIFOs are written already). When a rename
// fails, the outputs renamed before it are undone: a file that was in place comes back (from a
// hard link kept while the renames run), a new one goes. 0, or the errno of the failure with
// failed the output it happened on.
int CommitOutputs(const std::vector<cOutputFile*>& outputs, cOutputFile*& failed);

// An exclusive lock on a folder the run writes files into (--hulls-dir), held while the object
// lives. Take: 0, EBUSY when another run holds it, or the errno of opening the folder.
class cFolderLock {
 public:
  cFolderLock() = default;
  ~cFolderLock();
  cFolderLock(const cFolderLock&) = delete;
  cFolderLock& operator=(const cFolderLock&) = delete;
  int Take(const std::string& folder);

 private:
  int fd = -1;
};
