#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include "file_system.h"

namespace zindle {

namespace {

// The temporary files being written, for the signal handler to remove.
constexpr int TEMPORARY_SLOTS = 40;  // the output, the trace and a stem for each of up to 32 channels
constexpr std::size_t TEMPORARY_PATH_BYTES = 4096;
char temporary_paths[TEMPORARY_SLOTS][TEMPORARY_PATH_BYTES];
volatile std::sig_atomic_t temporary_used[TEMPORARY_SLOTS];

int take_temporary_slot(const std::string& path) {
    if (path.size() >= TEMPORARY_PATH_BYTES) return -1;
    for (int slot = 0; slot < TEMPORARY_SLOTS; ++slot) {
        if (temporary_used[slot] != 0) continue;
        std::memcpy(temporary_paths[slot], path.c_str(), path.size() + 1);
        temporary_used[slot] = 1;
        return slot;
    }
    return -1;
}

void release_temporary_slot(int slot) {
    if (slot >= 0) temporary_used[slot] = 0;
}

extern "C" void remove_temporaries_and_end(int signal_number) {
    for (int slot = 0; slot < TEMPORARY_SLOTS; ++slot)
        if (temporary_used[slot] != 0) ::unlink(temporary_paths[slot]);
    // Ends the process by the same signal: it is blocked while this runs,
    // so it is taken, by the default action, when the handler returns.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Where a regular file at `path` really is: a symbolic link is followed, so
// that the link stays and the file it names is replaced.
std::string resolved(const std::string& path) {
#ifndef _WIN32
    struct stat link;
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
#endif
    return path;
}

bool replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

#ifdef _WIN32
FileIdentity identity_of_handle(HANDLE handle) {
    FileIdentity id;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) return id;
    id.known = true;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return id;
}
#else
FileIdentity identity_of_stat(const struct stat& info) {
    FileIdentity id;
    id.known = true;
    id.device = static_cast<std::uint64_t>(info.st_dev);
    id.inode = static_cast<std::uint64_t>(info.st_ino);
    return id;
}
#endif

}  // namespace

bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

FileIdentity identity_of(const std::string& path) {
#ifdef _WIN32
    if (path == "-") return identity_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileIdentity id = identity_of_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return id;
#else
    struct stat info;
    const int result = path == "-" ? ::fstat(1, &info) : ::stat(path.c_str(), &info);
    return result == 0 ? identity_of_stat(info) : FileIdentity{};
#endif
}

void reserve_standard_streams() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int spare = ::open("/dev/null", O_RDONLY);
        // /dev/null opens as the lowest free descriptor: this one.
        if (spare > 2) ::close(spare);
    }
#endif
}

void guard_temporaries_against_signals() {
#ifdef _WIN32
    for (const int signal_number : {SIGINT, SIGTERM, SIGBREAK, SIGABRT})
        if (std::signal(signal_number, remove_temporaries_and_end) == SIG_IGN) std::signal(signal_number, SIG_IGN);
#else
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        // Signals that stop, or that nothing ends on, leave no file behind.
        switch (signal_number) {
        case SIGKILL:
        case SIGSTOP:
        case SIGTSTP:
        case SIGTTIN:
        case SIGTTOU:
        case SIGCONT:
        case SIGCHLD:
        case SIGURG:
        case SIGWINCH: continue;
        default: break;
        }
        struct sigaction before;
        if (::sigaction(signal_number, nullptr, &before) != 0) continue;  // not one the system lets us catch
        // Ignored when we started (nohup, a script's background job): stays
        // so. A handler already there (a sanitizer's) is kept too.
        if ((before.sa_flags & SA_SIGINFO) != 0 || before.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        // A closed pipe or the file size limit makes the write fail with
        // EPIPE or EFBIG, reported as any other failed write.
        action.sa_handler = signal_number == SIGPIPE || signal_number == SIGXFSZ ? SIG_IGN : remove_temporaries_and_end;
        sigfillset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
#endif
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const std::string& path) {
    name_ = path;
    if (path == "-") {
        to_stdout_ = true;
        fd_ = 1;
        return true;
    }
    struct stat info;
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        // A device or a pipe: there is nothing to replace, only to write to.
        fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_BINARY | O_CLOEXEC);
        if (fd_ < 0) fail(errno);
        return fd_ >= 0;
    }
    target_ = exists ? resolved(path) : path;
    // A file the user may not write stays refused, as it would be without
    // the temporary file.
    if (exists && ::access(target_.c_str(), W_OK) != 0) {
        fail(errno);
        return false;
    }
    static unsigned serial;
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        // Short and of one length whatever the name: any name the file
        // system takes can be written this way.
        char temporary_name[40];
        std::snprintf(temporary_name, sizeof temporary_name, ".zindle-%08lx%04x.tmp",
                      static_cast<unsigned long>(::getpid()) & 0xFFFFFFFFul, ++serial & 0xFFFFu);
        const std::string temporary = folder_of(target_) + temporary_name;
        slot_ = take_temporary_slot(temporary);
        if (slot_ < 0) {
            fail(ENAMETOOLONG);
            return false;
        }
        fd_ = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            const int why = errno;
            release_temporary_slot(slot_);
            slot_ = -1;
            if (why != EEXIST) {
                fail(why);
                return false;
            }
        }
    }
    if (fd_ < 0) {
        fail(EEXIST);
        return false;
    }
#ifndef _WIN32
    // A replaced file keeps its permissions; a new one gets the usual ones.
    if (exists) ::fchmod(fd_, info.st_mode & 07777);
#endif
    return true;
}

void OutputFile::fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool OutputFile::flush() {
    std::size_t done = 0;
    while (ok() && done < used_) {
        const auto put = ::write(fd_, buffer_ + done, static_cast<unsigned>(used_ - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            fail(put < 0 ? errno : ENOSPC);
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    used_ = 0;
    return ok();
}

bool OutputFile::write(const void* bytes, std::size_t count) {
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    while (ok() && count > 0) {
        if (used_ == BUFFER_BYTES && !flush()) break;
        const std::size_t part = count < BUFFER_BYTES - used_ ? count : BUFFER_BYTES - used_;
        std::memcpy(buffer_ + used_, from, part);
        used_ += part;
        from += part;
        count -= part;
    }
    return ok();
}

bool OutputFile::rewrite_start(const void* bytes, std::size_t count) {
    if (!ok()) return false;
    if (!rewritable()) {
        fail(ESPIPE);
        return false;
    }
    flush();
    std::size_t done = 0;
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    while (ok() && done < count) {
#ifdef _WIN32
        const auto put = ::_lseeki64(fd_, static_cast<__int64>(done), SEEK_SET) < 0
                             ? -1
                             : ::write(fd_, from + done, static_cast<unsigned>(count - done));
#else
        const auto put = ::pwrite(fd_, from + done, count - done, static_cast<off_t>(done));
#endif
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            fail(put < 0 ? errno : ENOSPC);
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    return ok();
}

bool OutputFile::finish() {
    if (fd_ < 0) return ok();
    flush();
    if (to_stdout_) {
        fd_ = -1;
        return ok();
    }
    if (slot_ >= 0 && ok()) {
        // On the disk before it takes the old file's place.
#ifdef _WIN32
        if (_commit(fd_) != 0) fail(errno);
#else
        if (::fsync(fd_) != 0 && errno != EINVAL) fail(errno);
#endif
    }
    if (::close(fd_) != 0) fail(errno);
    fd_ = -1;
    return ok();
}

bool OutputFile::commit() {
    finish();
    if (slot_ < 0) return ok();
    if (ok() && !replace_file(temporary_paths[slot_], target_)) fail(errno);
    if (!ok()) ::unlink(temporary_paths[slot_]);
    release_temporary_slot(slot_);
    slot_ = -1;
    return ok();
}

void OutputFile::discard() {
    if (fd_ >= 0 && !to_stdout_) ::close(fd_);
    fd_ = -1;
    if (slot_ >= 0) {
        ::unlink(temporary_paths[slot_]);
        release_temporary_slot(slot_);
        slot_ = -1;
    }
}

}  // namespace zindle
