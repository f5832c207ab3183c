// Storage-pool client I/O: the options a connection is opened with. The I/O
// classes derive from Client_IO_Base (host/client_io.h).
#ifndef HOST_CLIENT_IO_OPTIONS_H
#define HOST_CLIENT_IO_OPTIONS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/json_spirit/value.h"
#include "host/rate_limits.h"
#include "host/secure_memory.h"

// The storage pool's compression method named name ("lz4" 1, "zstd" 2); 0 for
// an empty or unknown name.
int compression_name_to_value(const char* name, size_t length);

class Client_IO_Base {
public:
    // Plain values throughout: copies are member-wise. Keys and credentials
    // live in wiping strings.
    struct Options {
        bool overwrite = false;
        int sock_timeout = 60;  // seconds
        int compression = 0;    // compression method, 0 none
        int compression_level = 0;
        int cipher = 0;  // 0: no encryption
        secure_string key;
        secure_string iv;
        size_t dedup_min_size = 0;
        size_t dedup_avg_size = 0;
        size_t dedup_max_size = 0;
        secure_string access_key;
        secure_string secret_key;
        std::string source_address;
        std::map<std::string, std::string> node_addrs;
        std::vector<std::string> scan_initiators;
        int access_mode = 0;
        size_t max_seconds_retry = 0;
        size_t resumption_buffer_size = 0;
        Rate_Limits rate_limits;
        // Named extras, among them the HTTP heads sent with each request (which
        // carry access keys).
        std::map<std::string, secure_string> extra_options;

        // Sets or replaces one extra option.
        void set_extra_option(const std::string& name, const secure_string& value);
        void set_extra_option(const std::string& name, const std::string& value);
        void set_extra_option(const std::string& name, const char* value);
        // The option's value, or null when it is not set.
        const secure_string* extra_option(const std::string& name) const;
    };

    // One file's byte stream, as the image writer and reader see it.
    Client_IO_Base() = default;
    Client_IO_Base(const Client_IO_Base&) = delete;
    Client_IO_Base& operator=(const Client_IO_Base&) = delete;
    virtual ~Client_IO_Base() = default;

    // The next bytes of the open file: a count, 0 at its end, -1 on failure.
    virtual ssize_t read(void* data, size_t length) = 0;
    // Appends all of data or fails; a failed write spoils the file, which can
    // then only be discarded.
    virtual bool write(const void* data, size_t length) = 0;
    // Ends the open file: a written file takes its name only now, and only
    // when everything before succeeded and it is not marked incomplete.
    virtual bool close() = 0;
    // Drops the open file; a file being written leaves nothing behind.
    virtual void abort() = 0;

    // A writer that has started a unit of several writes marks the file
    // incomplete until the unit is whole: close() then discards it.
    void set_incomplete(bool on) { incomplete_ = on; }
    bool incomplete() const { return incomplete_; }

    // The last failure: an errno value and a text; 0 and "" when none.
    int last_errno() const { return errno_; }
    const std::string& error_text() const { return error_text_; }
    // Records a failure and returns false, for `return io.fail(...)`.
    bool fail(int err, std::string text) {
        errno_ = err;
        error_text_ = std::move(text);
        return false;
    }
    void clear_error() {
        errno_ = 0;
        error_text_.clear();
    }

    // Bytes of data the file stands for (before its format's framing), as
    // counted by whoever writes or reads it.
    uint64_t original_size() const { return original_size_; }
    void add_original_size(uint64_t n) { original_size_ += n; }

protected:
    // A new file starts with no count and no incomplete mark.
    void begin_file() {
        original_size_ = 0;
        incomplete_ = false;
    }

private:
    int errno_ = 0;
    std::string error_text_;
    uint64_t original_size_ = 0;
    bool incomplete_ = false;
};

// Writes every option into out as members; keys and extra options become
// secure strings.
json_spirit::Object& operator<<(json_spirit::Object& out, const Client_IO_Base::Options& options);
// Reads the members of in that are present (others keep their values). A
// mistyped member gives false and leaves options unchanged.
bool operator>>(const json_spirit::Object& in, Client_IO_Base::Options& options);

#endif
