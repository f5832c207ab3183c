#include "world/pool_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "host/client_io.h"
#include "host/image_format.h"

namespace world {

bool read_pool_image(const std::string& pool_url, const std::string& file,
                     const Image_Block_Reader::Write_Callback& write, uint64_t alignment,
                     std::string* error) {
    Client_IO io;
    Image_Block_Reader reader;
    if (io.connect(pool_url, Client_IO_Base::Options()) && io.open(file, Client_IO::MODE_READ) &&
        reader.read_blocks_align(io, write, alignment))
        return true;
    if (error != nullptr)
        *error = io.error_text();
    return false;
}

std::vector<std::string> pool_files(const std::string& dir) {
    namespace fs = std::filesystem;
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_regular_file())
            out.push_back(fs::relative(it->path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

void write_at(const std::string& path, uint64_t offset, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (n != static_cast<ssize_t>(data.size()))
        throw std::runtime_error("cannot write " + path);
}

std::string file_content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void replace_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << content) || !out.flush())
        throw std::runtime_error("cannot write " + path);
}

void cut_image(const std::string& path, uint64_t size) {
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
        throw std::runtime_error("cannot cut " + path + ": " + std::strerror(errno));
}

void copy_image(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + from);
    replace_file(to, file_content(from));
}

void make_version_1_image(const std::string& path) {
    const std::string image = file_content(path);
    qorm::Image_Superblock sb;
    std::string why;
    if (image.size() < image_format::SUPERBLOCK_SIZE ||
        !image_format::decode_superblock(reinterpret_cast<const unsigned char*>(image.data()), sb,
                                         &why))
        throw std::runtime_error(path + " has no superblock to rewrite: " + why);
    sb.version = image_format::VERSION_1;
    sb.disk_id.clear();
    unsigned char out[image_format::SUPERBLOCK_SIZE];
    image_format::encode_superblock(sb, out);
    write_at(path, 0, std::string(reinterpret_cast<const char*>(out), sizeof out));
}

}  // namespace world
