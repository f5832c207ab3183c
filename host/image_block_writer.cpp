#include "host/image_block_writer.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

std::string Image_Block_Writer::bad_read(ssize_t n, uint64_t left, uint64_t offset,
                                         size_t buffer_size) {
    if (n < 0)
        return "cannot read source data at offset " + std::to_string(offset);
    if (n == 0 || static_cast<uint64_t>(n) > left || static_cast<size_t>(n) > buffer_size)
        return "source read at offset " + std::to_string(offset) + " returned " +
               std::to_string(n) + " bytes";
    return std::string();
}

bool Image_Block_Writer::write_blocks(const Read_Callback& read, const Progress_Callback& progress,
                                      const char* buffer, size_t buffer_size) {
    if (!read || buffer == nullptr || buffer_size == 0)
        return fail(EINVAL, "image writer: no read callback or buffer");
    for (const Block& b : blocks_) {
        uint64_t offset = b.offset;
        uint64_t left = b.length;
        while (left > 0) {
            const ssize_t n = read(left, offset);
            const std::string bad = bad_read(n, left, offset, buffer_size);
            if (!bad.empty())
                return fail(EIO, bad);
            if (!write_data(offset, buffer, static_cast<size_t>(n)))
                return false;
            offset += static_cast<uint64_t>(n);
            left -= static_cast<uint64_t>(n);
            if (progress && !progress(static_cast<uint64_t>(n)))
                return fail(ECANCELED, "image write was stopped");
        }
    }
    return finish();
}

bool Image_Block_Writer::write_blocks_ahead(const Read_Into_Callback& read,
                                            const Progress_Callback& progress, size_t buffer_size,
                                            unsigned depth) {
    if (!read || buffer_size == 0 || depth == 0)
        return fail(EINVAL, "image writer: no read callback or buffer");
    std::vector<std::unique_ptr<char[]>> buffers;
    struct Piece {
        char* data;
        uint64_t offset;
        size_t length;
    };
    std::deque<char*> free_buffers;
    for (unsigned i = 0; i < depth; ++i) {
        buffers.emplace_back(new (std::nothrow) char[buffer_size]);
        if (!buffers.back())
            return fail(ENOMEM, "image writer: no memory for its buffers");
        free_buffers.push_back(buffers.back().get());
    }
    std::deque<Piece> read_pieces;
    std::mutex mutex;
    std::condition_variable changed;
    bool reads_done = false;
    bool cancelled = false;  // by a failed read: what is left is not stored
    bool write_failed = false;

    // Only this thread uses the writer (and so the I/O) until it ends.
    std::thread storing([&] {
        for (;;) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !read_pieces.empty() || reads_done || cancelled; });
                if (cancelled || read_pieces.empty())
                    return;
                piece = read_pieces.front();
                read_pieces.pop_front();
            }
            bool ok = write_data(piece.offset, piece.data, piece.length);
            if (ok && progress && !progress(piece.length))
                ok = fail(ECANCELED, "image write was stopped");
            {
                std::lock_guard<std::mutex> lock(mutex);
                free_buffers.push_back(piece.data);
                write_failed = !ok;
            }
            changed.notify_all();
            if (!ok)
                return;
        }
    });

    std::string read_error;
    for (const Block& b : blocks_) {
        uint64_t offset = b.offset;
        uint64_t left = b.length;
        while (left > 0 && read_error.empty()) {
            char* buffer = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !free_buffers.empty() || write_failed; });
                if (write_failed)
                    break;
                buffer = free_buffers.front();
                free_buffers.pop_front();
            }
            const ssize_t n = read(buffer, left, offset);
            read_error = bad_read(n, left, offset, buffer_size);
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (read_error.empty())
                    read_pieces.push_back(Piece{buffer, offset, static_cast<size_t>(n)});
                else
                    cancelled = true;
            }
            changed.notify_all();
            if (read_error.empty()) {
                offset += static_cast<uint64_t>(n);
                left -= static_cast<uint64_t>(n);
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        reads_done = true;
    }
    changed.notify_all();
    storing.join();
    if (write_failed)
        return false;
    if (!read_error.empty())
        return fail(EIO, read_error);
    return finish();
}
