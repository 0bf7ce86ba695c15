// Shared test fixtures: a fresh temporary folder per test, a zeroed control
// block, and small readers of raw file bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kindex.h"

namespace kxtest {

// A folder that exists for the life of the object and is removed after.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

// A control block the way a host allocates one: zero-filled.
struct Block {
    KXCB cb;
    Block() { std::memset(&cb, 0, sizeof cb); }
    KXCB* operator->() { return &cb; }
    KXCB* get() { return &cb; }
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Overwrites bytes of an existing file at an offset.
void patch_file(const std::string& path, size_t offset, const std::vector<uint8_t>& bytes);
uint32_t le32(const std::vector<uint8_t>& b, size_t off);
uint32_t be32(const std::vector<uint8_t>& b, size_t off);

// Path of a helper program built beside the tests.
std::string helper_path(const std::string& name);

// Fixture with a temp folder and a pool reset to its default before and after.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string file(const std::string& name) const { return tmp.path(name); }
    TempDir tmp;
};

}  // namespace kxtest
