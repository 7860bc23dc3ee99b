#include "platform/BitLockerKey.h"

#include "ondisk/FveMetadata.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lorvex::platform {

Secret::Secret(std::size_t size)
    : data_(size > 0 ? std::make_unique<std::uint8_t[]>(size) : nullptr), size_(size) {
}

Secret::Secret(std::span<const std::uint8_t> bytes) : Secret(bytes.size()) {
    if (!bytes.empty()) {
        std::memcpy(data_.get(), bytes.data(), bytes.size());
    }
}

Secret::Secret(Secret&& other) noexcept : data_(std::move(other.data_)), size_(other.size_) {
    other.size_ = 0;
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Wipe();
        data_ = std::move(other.data_);
        size_ = other.size_;
        other.size_ = 0;
    }
    return *this;
}

Secret::~Secret() {
    Wipe();
}

void Secret::Wipe() {
    if (data_) {
        OPENSSL_cleanse(data_.get(), size_);
    }
    data_.reset();
    size_ = 0;
}

void Secret::Shrink(std::size_t size) {
    if (size < size_) {
        OPENSSL_cleanse(data_.get() + size, size_ - size);
        size_ = size;
    }
}

std::string_view KeyKindName(BitLockerKey::Kind kind) {
    switch (kind) {
    case BitLockerKey::Kind::Password:
        return "password";
    case BitLockerKey::Kind::RecoveryPassword:
        return "recovery password";
    case BitLockerKey::Kind::StartupKey:
        return "startup key";
    }
    return "key";
}

namespace {

constexpr std::size_t kGroups = 8;
constexpr std::size_t kGroupDigits = 6;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `text` has a recovery password's form: eight groups of six digits,
// all separated by dashes or none.
bool RecoveryForm(std::string_view text) {
    const bool dashed = text.size() == kGroups * kGroupDigits + kGroups - 1;
    if (!dashed && text.size() != kGroups * kGroupDigits) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dashPlace = dashed && i % (kGroupDigits + 1) == kGroupDigits;
        if (dashPlace ? text[i] != '-' : !IsDigit(text[i])) {
            return false;
        }
    }
    return true;
}

// UTF-8 to UTF-16LE straight into a secret: no intermediate string keeps a
// copy. False when the text is not UTF-8 or has more than kMaxPasswordUnits
// units.
bool PasswordUnits(std::string_view text, Secret& out, std::string& why) {
    Secret units(2 * (kMaxPasswordUnits + 1));
    std::size_t n = 0;
    const auto put = [&](char32_t unit) {
        if (n >= kMaxPasswordUnits) {
            return false;
        }
        units.bytes()[2 * n] = static_cast<std::uint8_t>(unit & 0xFF);
        units.bytes()[2 * n + 1] = static_cast<std::uint8_t>(unit >> 8);
        ++n;
        return true;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t c = 0;
        if (b < 0x80) {
            length = 1;
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            length = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4;
            c = b & 0x07;
        }
        if (length == 0 || i + length > text.size()) {
            why = "not UTF-8 text";
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto cb = static_cast<unsigned char>(text[i + k]);
            if ((cb & 0xC0) != 0x80) {
                why = "not UTF-8 text";
                return false;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            why = "not UTF-8 text";
            return false;
        }
        i += length;
        bool room = true;
        if (c >= 0x10000) {
            c -= 0x10000;
            room = put(0xD800 + (c >> 10)) && put(0xDC00 + (c & 0x3FF));
        } else {
            room = put(c);
        }
        if (!room) {
            why = "longer than a BitLocker password can be (" + std::to_string(kMaxPasswordUnits) +
                  " characters)";
            return false;
        }
    }
    units.Shrink(2 * n);
    out = std::move(units);
    return true;
}

} // namespace

bool DecodeRecoveryPassword(std::string_view text, Secret& out, std::string& why) {
    if (!RecoveryForm(text)) {
        why = "not eight groups of six digits";
        return false;
    }
    const bool dashed = text.size() > kGroups * kGroupDigits;
    Secret key(2 * kGroups);
    for (std::size_t g = 0; g < kGroups; ++g) {
        const std::size_t at = g * (kGroupDigits + (dashed ? 1 : 0));
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < kGroupDigits; ++k) {
            value = value * 10 + static_cast<std::uint32_t>(text[at + k] - '0');
        }
        if (value % 11 != 0 || value / 11 > 0xFFFF) {
            why = "a recovery password whose group " + std::to_string(g + 1) +
                  " does not check (a digit mistyped?)";
            return false;
        }
        key.bytes()[2 * g] = static_cast<std::uint8_t>((value / 11) & 0xFF);
        key.bytes()[2 * g + 1] = static_cast<std::uint8_t>((value / 11) >> 8);
    }
    out = std::move(key);
    return true;
}

bool KeyFromText(std::string_view text, BitLockerKey& key, std::string& why) {
    // One line end closes the text, as an editor leaves it.
    if (text.ends_with("\r\n")) {
        text.remove_suffix(2);
    } else if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        why = "empty";
        return false;
    }
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        why = "more than one line: a password or a recovery password is one line";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        why = "neither a startup key (.BEK) nor the text of a password";
        return false;
    }
    if (RecoveryForm(text)) {
        key.kind = BitLockerKey::Kind::RecoveryPassword;
        return DecodeRecoveryPassword(text, key.secret, why);
    }
    key.kind = BitLockerKey::Kind::Password;
    return PasswordUnits(text, key.secret, why);
}

bool ReadKeyFile(const std::string& path, BitLockerKey& key, std::string& why) {
    key.file = path;
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? "a directory, not a key file"
                                  : "not a regular file: a key is read from a file only";
        return false;
    }
    if (st.st_size > static_cast<off_t>(kMaxKeyFile)) {
        why = "too large to hold a key (" + std::to_string(st.st_size) +
              " bytes; a password, recovery password or startup key file is under " +
              std::to_string(kMaxKeyFile / 1024) + " KiB)";
        return false;
    }
    // One byte more than the size said, to see a file that grew meanwhile.
    Secret bytes(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.bytes().data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > static_cast<std::size_t>(st.st_size)) {
        why = "changed while it was read";
        return false;
    }
    bytes.Shrink(got);
    const auto raw = std::as_bytes(bytes.bytes());
    if (ondisk::ParseFveStartupKey(raw)) {
        key.kind = BitLockerKey::Kind::StartupKey;
        key.secret = std::move(bytes);
        return true;
    }
    return KeyFromText(
        std::string_view(reinterpret_cast<const char*>(bytes.bytes().data()), bytes.size()), key,
        why);
}

} // namespace lorvex::platform
