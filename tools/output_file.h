// Files the renderer writes, made safe against the ways a run can go wrong.
//
// A regular file (or a name not yet taken) is written under a temporary
// name in the same folder and renamed into place only when commit() is
// reached, so a failed or interrupted run leaves an existing file as it was
// and nothing half-written behind. A device, a pipe or standard output
// ("-") cannot be replaced that way and is written directly. Every write
// goes through one buffer; the first failure is kept with its errno, and
// nothing is written after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zindle {

// What a file is, as the system knows it: its device and inode (volume and
// file index on Windows). Two names for one file give the same identity.
struct FileIdentity {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};
bool operator==(const FileIdentity& a, const FileIdentity& b);

// The identity of the file at `path`, or of standard output for "-";
// unknown when there is no such file.
FileIdentity identity_of(const std::string& path);

// Keeps descriptors 0, 1 and 2 taken, by a read-only /dev/null for each
// one that is closed, so that no file opened later becomes one of them and
// takes what was meant for a standard stream. A write to a stream that was
// closed then fails instead of landing in a file.
void reserve_standard_streams();

// From here on, every signal that would end the process first removes
// the temporary files still open, then ends it by the same signal. A
// signal ignored when the program started (nohup, a background job) stays
// ignored. SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or the
// file size limit is a failed write like any other.
void guard_temporaries_against_signals();

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path` ("-" is standard output). False with error() set when it
    // cannot be created.
    bool open(const std::string& path);
    // Buffered; false from the first failure on.
    bool write(const void* bytes, std::size_t count);
    bool ok() const { return error_ == 0; }
    // Writes `count` bytes over the start of a temporary file, everything
    // before them written out first (a header whose length is known only
    // at the end). False with error() set when it failed, or ESPIPE when
    // the file is not one that can be written so.
    bool rewrite_start(const void* bytes, std::size_t count);
    // True when rewrite_start can be used: a temporary file still open.
    bool rewritable() const { return slot_ >= 0 && fd_ >= 0; }
    // Writes out the buffer and closes the file, which is then complete
    // on the disk; false with error() set when any of it failed.
    bool finish();
    // Finishes the file, and puts a temporary file in place of the
    // named one. False with error() set when any of it failed; the
    // temporary file is then removed.
    bool commit();
    // Drops a temporary file and what is still buffered.
    void discard();

    const std::string& name() const { return name_; }
    int error() const { return error_; }

private:
    bool flush();
    void fail(int error);
    std::string name_;
    std::string target_;  // where a temporary file goes on commit
    int slot_ = -1;       // its entry in the list of temporaries
    int fd_ = -1;
    bool to_stdout_ = false;
    int error_ = 0;
    std::size_t used_ = 0;
    static constexpr std::size_t BUFFER_BYTES = 1 << 16;
    std::uint8_t buffer_[BUFFER_BYTES];
};

}  // namespace zindle
