// Storage-pool client I/O over a local directory.
//
// A pool URL names a directory: "file:///abs/dir", "file://localhost/abs/dir"
// or the plain path "/abs/dir" (no percent-decoding). File names are
// relative to it, "/"-separated, without "." or ".." parts; directories are
// made as needed. Files are written under a hidden temporary name beside the
// final one and take their name only at a successful close (flushed to disk
// first); a name that exists is never replaced, except by put_stream without
// PUT_EXCLUSIVE when the options allow overwriting. Data is stored as given:
// the options' compression, rate limits and time-outs are not applied here,
// and options asking for client-side encryption are refused.
//
// Files are written with O_DIRECT where the file system takes it: what is
// written is gathered in an aligned buffer and goes to disk in large aligned
// pieces, without a copy in the page cache, each written by a second thread
// while the next one is gathered. Elsewhere (say a tmpfs) writes
// go through the page cache and are written back as they arrive. Files are
// read with O_DIRECT too, in pieces of up to 8 MiB, the next one read by the
// second thread while the last one is handed out.
//
// Every call reports failure by its result, with last_errno() and
// error_text() saying why. One object serves one thread.
#ifndef HOST_CLIENT_IO_H
#define HOST_CLIENT_IO_H

#include <cstdint>
#include <cstdlib>
#include <iosfwd>
#include <memory>
#include <string>

#include "host/client_io_options.h"

class Client_IO : public Client_IO_Base {
public:
    enum Open_Mode { MODE_READ = 1, MODE_WRITE = 2 };

    // Steps that tests can make fail (inject_fault).
    enum Fault_Step {
        FAULT_READ,
        FAULT_WRITE,
        FAULT_FLUSH,
        FAULT_CLOSE,
        FAULT_RENAME,
        FAULT_DIRECT,  // the file system refuses O_DIRECT at the first write or read
        FAULT_STEPS
    };

    Client_IO();
    // A file still being written is discarded.
    ~Client_IO() override;

    // Checks the URL and the options and remembers both. The directory may be
    // missing when its parent exists (it is made at the first write).
    bool connect(const std::string& url, const Options& options);
    bool connect(const char* url, const Options& options);
    bool connected() const { return !dir_.empty(); }
    // The pool directory connected to.
    const std::string& directory() const { return dir_; }

    // MODE_READ opens an existing file; MODE_WRITE starts a new file, refused
    // when the name exists. One file at a time.
    bool open(const std::string& file, int mode);
    bool open(const char* file, int mode);
    bool is_open() const { return fd_ >= 0; }

    ssize_t read(void* data, size_t length) override;
    bool write(const void* data, size_t length) override;
    // Forces what was written to disk.
    bool flush();
    // Closing a written file flushes it and moves it to its name; any failure
    // on the way (or an incomplete mark) discards it and fails. Closing with
    // nothing open succeeds.
    bool close() override;
    void abort() override;

    // Removes a file; a file that is not there counts as removed. Removing the
    // file this object is writing discards it.
    bool remove(const std::string& file);

    // Bytes the open or last closed file takes in the pool.
    uint64_t storage_size() const { return storage_size_; }

    // Test switch, process-wide: the next `times` calls of a step fail with
    // err. times 0 clears the step.
    static void inject_fault(Fault_Step step, int err, int times = 1);
    static void clear_faults();

protected:
    // Starts a new file under a temporary name (open MODE_WRITE, put_stream);
    // an existing regular file is accepted only when it is to be replaced.
    bool start_write(const std::string& file, bool replace = false);
    // Flushes, closes and names the file being written; replace lets an
    // existing name be replaced.
    bool finish_write(bool replace);
    const Options& options() const { return options_; }

private:
    bool check_name(const std::string& file);
    void discard();

    Options options_;
    std::string dir_;
    std::string file_;       // name of the open file, as given
    std::string path_;       // its final path
    std::string temp_path_;  // where it is written until closed
    int fd_ = -1;
    int mode_ = 0;
    bool write_failed_ = false;
    uint64_t storage_size_ = 0;
    uint64_t written_ = 0;    // bytes written at the file's end so far
    uint64_t writeback_ = 0;  // bytes handed to writeback so far
    class Piece_Thread;
    using Buffer = std::unique_ptr<char, void (*)(void*)>;
    Buffer buffers_[2] = {{nullptr, ::free}, {nullptr, ::free}};
    char* stage_ = nullptr;   // one of buffers_, being filled
    size_t staged_ = 0;       // bytes in stage_, the file's bytes from direct_at_
    uint64_t direct_at_ = 0;  // where stage_ goes in the file (aligned)
    bool direct_ = false;     // writing with O_DIRECT
    std::unique_ptr<Piece_Thread> behind_;
    // Reading with O_DIRECT: piece_ (in one of read_buffers_) is handed
    // out while the next one is read at read_at_.
    Buffer read_buffers_[2] = {{nullptr, ::free}, {nullptr, ::free}};
    size_t read_piece_ = 0;  // the read buffers' size
    bool direct_read_ = false;
    char* piece_ = nullptr;
    size_t piece_len_ = 0;
    size_t piece_pos_ = 0;
    uint64_t read_at_ = 0;
    bool read_end_ = false;       // the piece handed out is the file's last
    bool reading_ahead_ = false;  // behind_ reads the next piece
    void start_reading();
    bool next_piece(size_t want);
    void stop_reading();
    void start_writeback();
    bool write_stage(bool all);
    bool wait_behind();
    bool write_at(const char* data, size_t length, uint64_t at);
};

class Client_IO_Ex : public Client_IO {
public:
    enum { PUT_EXCLUSIVE = 1 };

    // Stores the rest of the stream as one file (flags: PUT_EXCLUSIVE refuses
    // an existing name; without it an existing file is replaced only when the
    // options allow overwriting). original_size() and storage_size() are then
    // the bytes stored. Not while a file is open.
    bool put_stream(std::istream& in, const std::string& file, int flags);
};

#endif
