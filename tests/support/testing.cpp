#include "support/testing.h"

#include <unistd.h>

#include <fstream>
#include <random>

namespace kxtest {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        dir_ = base / ("kindex-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        if (std::filesystem::create_directory(dir_)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void patch_file(const std::string& path, size_t offset, const std::vector<uint8_t>& bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t le32(const std::vector<uint8_t>& b, size_t off) {
    return uint32_t{b.at(off)} | uint32_t{b.at(off + 1)} << 8 | uint32_t{b.at(off + 2)} << 16 |
           uint32_t{b.at(off + 3)} << 24;
}

uint32_t be32(const std::vector<uint8_t>& b, size_t off) {
    return uint32_t{b.at(off + 3)} | uint32_t{b.at(off + 2)} << 8 | uint32_t{b.at(off + 1)} << 16 |
           uint32_t{b.at(off)} << 24;
}

std::string helper_path(const std::string& name) { return std::string(KX_HELPER_DIR) + "/" + name; }

void FileTest::SetUp() { ASSERT_EQ(cibufnum(100), 0); }
void FileTest::TearDown() { cibufnum(100); }

}  // namespace kxtest
