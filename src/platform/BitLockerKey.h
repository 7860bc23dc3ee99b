#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace lorvex::platform {

// Bytes of a key: wiped when let go of, never copied (only moved), so that
// no freed memory of ours keeps a password or a volume key.
class Secret {
  public:
    Secret() = default;
    explicit Secret(std::size_t size);
    Secret(std::span<const std::uint8_t> bytes);
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret();

    [[nodiscard]] std::span<std::uint8_t> bytes() { return {data_.get(), size_}; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    // Keeps the first `size` bytes (no more than there are), wiping the rest.
    void Shrink(std::size_t size);

  private:
    void Wipe();

    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

// A key to a BitLocker volume, as its holder has it.
struct BitLockerKey {
    enum class Kind {
        Password,         // `secret`: the password in UTF-16LE
        RecoveryPassword, // `secret`: the 16 bytes its 48 digits stand for
        StartupKey,       // `secret`: the .BEK file's bytes
    };
    Kind kind = Kind::Password;
    Secret secret;
    // The file it was read from, empty for a key typed: a key file is
    // written to no more than a source is.
    std::string file;
};

// "password", "recovery password", "startup key".
std::string_view KeyKindName(BitLockerKey::Kind kind);

// A startup key file, a password or a recovery password is never longer.
inline constexpr std::size_t kMaxKeyFile = 64 * 1024;
// Windows takes passwords of up to 256 characters.
inline constexpr std::size_t kMaxPasswordUnits = 256;

// The key a text stands for: a recovery password when it has the form of one
// (eight groups of six digits, with or without dashes between them: its
// groups are then checked as BitLocker checks them), otherwise a password.
// False, with the reason in `why` (which never repeats the text), when it is
// neither: empty, more than one line, not UTF-8, too long, or a recovery
// password whose group does not check. The reason reads after the text's name
// ("key.txt: empty").
bool KeyFromText(std::string_view text, BitLockerKey& key, std::string& why);

// The key in the file at `path`: a startup key (.BEK) when the bytes are
// one, else the text of one line (its line end dropped), as KeyFromText
// reads it. Only a regular file is read: a FIFO, a device or a directory is
// refused before anything could wait on it. False with the reason in `why`.
bool ReadKeyFile(const std::string& path, BitLockerKey& key, std::string& why);

// The 16 bytes a recovery password stands for: each group of six digits is
// a multiple of 11, and the eight quotients are 16-bit numbers. False, with
// the group that does not check in `why`, otherwise.
bool DecodeRecoveryPassword(std::string_view digits, Secret& out, std::string& why);

} // namespace lorvex::platform
