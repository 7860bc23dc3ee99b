#include "ondisk/FveMetadata.h"

#include "ondisk/Bytes.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string_view>

namespace lorvex::ondisk {
namespace {

using test::Put;
using Buf = std::vector<std::byte>;

// 4967d63b-2e29-4ad8-8399-f6a339e3d001 as stored.
const Buf kBitLockerId = test::Bytes({0x3b, 0xd6, 0x67, 0x49, 0x29, 0x2e, 0xd8, 0x4a, 0x83, 0x99,
                                      0xf6, 0xa3, 0x39, 0xe3, 0xd0, 0x01});

void PutText(Buf& b, std::size_t at, std::string_view text) {
    std::memcpy(b.data() + at, text.data(), text.size());
}

void PutBytes(Buf& b, std::size_t at, const Buf& bytes) {
    std::memcpy(b.data() + at, bytes.data(), bytes.size());
}

Buf Repeat(int value, std::size_t n) {
    return Buf(n, static_cast<std::byte>(value));
}

Buf VolumeHeader(std::string_view oem, std::size_t idAt, std::size_t offsetsAt) {
    Buf s(512, std::byte{0});
    PutText(s, fve::header::kOemId, oem);
    Put(s, fve::header::kBytesPerSector, 512, 2);
    s[fve::header::kSectorsPerCluster] = std::byte{8};
    PutBytes(s, idAt, kBitLockerId);
    Put(s, offsetsAt, 0x2195000, 8);
    Put(s, offsetsAt + 8, 0x2c1d000, 8);
    Put(s, offsetsAt + 16, 0x373a000, 8);
    return s;
}

// An entry: its header and `value`.
Buf Entry(std::uint16_t type, std::uint16_t valueType, const Buf& value,
          std::uint16_t version = 1) {
    Buf e(fve::entry::kHeaderBytes, std::byte{0});
    Put(e, fve::entry::kSize, fve::entry::kHeaderBytes + value.size(), 2);
    Put(e, fve::entry::kType, type, 2);
    Put(e, fve::entry::kValueType, valueType, 2);
    Put(e, fve::entry::kVersion, version, 2);
    e.insert(e.end(), value.begin(), value.end());
    return e;
}

Buf Cat(std::initializer_list<Buf> parts) {
    Buf out;
    for (const Buf& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A sealed key's value: nonce, MAC, ciphertext.
Buf SealedValue(int fill, std::size_t dataBytes) {
    return Cat({Repeat(0x11, 12), Repeat(0x22, 16), Repeat(fill, dataBytes)});
}

Buf Sealed(int fill, std::size_t dataBytes) {
    return Entry(fve::entrytype::kProperty, fve::valuetype::kSealedKey,
                 SealedValue(fill, dataBytes));
}

Buf KeyValue(std::uint32_t method, const Buf& key) {
    Buf v(4, std::byte{0});
    Put(v, 0, method, 4);
    v.insert(v.end(), key.begin(), key.end());
    return v;
}

Buf Protector(int idByte, std::uint16_t protection, const Buf& entries) {
    Buf v(fve::value::kMasterKeyEntries, std::byte{0});
    std::memset(v.data(), idByte, 16);
    Put(v, fve::value::kMasterKeyTime, 0x01d5323670498a70ULL, 8);
    Put(v, fve::value::kMasterKeyProtection, protection, 2);
    v.insert(v.end(), entries.begin(), entries.end());
    return Entry(fve::entrytype::kVolumeMasterKey, fve::valuetype::kMasterKey, v);
}

Buf Metadata(const Buf& entries) {
    Buf m(fve::metadata::kHeaderBytes, std::byte{0});
    const std::size_t size = m.size() + entries.size();
    Put(m, fve::metadata::kSize, size, 4);
    Put(m, fve::metadata::kVersion, 1, 4);
    Put(m, fve::metadata::kHeaderSize, fve::metadata::kHeaderBytes, 4);
    Put(m, fve::metadata::kSizeCopy, size, 4);
    PutBytes(m, fve::metadata::kVolumeId, kBitLockerId);
    Put(m, fve::metadata::kNonceCounter, 10, 4);
    Put(m, fve::metadata::kEncryption, 0x80048004, 4);
    Put(m, fve::metadata::kCreationTime, 0x01d532365d428a70ULL, 8);
    m.insert(m.end(), entries.begin(), entries.end());
    return m;
}

// A password protector as Windows writes one: its stretch key carries a
// sealed key of its own before the protector's sealed master key.
Buf PasswordProtector() {
    Buf stretch = KeyValue(0x1001, Repeat(0x5a, 16));
    const Buf inner = Sealed(0x99, 16);
    stretch.insert(stretch.end(), inner.begin(), inner.end());
    return Protector(0xa1, fve::protection::kPassword,
                     Cat({Entry(0, fve::valuetype::kStretchKey, stretch), Sealed(0x33, 44)}));
}

Buf Description() {
    Buf text;
    for (const char c : std::string_view("PC F: 7/3/2019")) {
        text.push_back(static_cast<std::byte>(c));
        text.push_back(std::byte{0});
    }
    text.push_back(std::byte{0});
    text.push_back(std::byte{0});
    return Entry(fve::entrytype::kDescription, fve::valuetype::kString, text);
}

Buf MovedHeader() {
    Buf v(16, std::byte{0});
    Put(v, 0, 0x21a5000, 8);
    Put(v, 8, 0x2000, 8);
    return Entry(fve::entrytype::kVolumeHeaderBlock, fve::valuetype::kOffsetAndSize, v);
}

TEST(FveVolumeHeader, ReadsEachLayoutAndRefusesOthers) {
    const auto standard = ParseFveVolumeHeader(
        VolumeHeader("-FVE-FS-", fve::header::kIdentifier, fve::header::kMetadataOffsets));
    ASSERT_TRUE(standard);
    EXPECT_EQ(standard->layout, FveLayout::Standard);
    EXPECT_EQ(standard->bytesPerCluster, 4096U);
    EXPECT_EQ(standard->metadataOffsets[2], 0x373a000U);
    EXPECT_FALSE(standard->encryptOnWrite);
    EXPECT_EQ(FormatGuid(standard->identifier), "4967d63b-2e29-4ad8-8399-f6a339e3d001");

    // To Go: behind a FAT boot sector, the fields further on.
    const auto togo = ParseFveVolumeHeader(
        VolumeHeader("MSWIN4.1", fve::header::kToGoIdentifier, fve::header::kToGoMetadataOffsets));
    ASSERT_TRUE(togo);
    EXPECT_EQ(togo->layout, FveLayout::ToGo);
    EXPECT_EQ(togo->metadataOffsets[0], 0x2195000U);

    // Encrypted as written: its own identifier.
    Buf eow = VolumeHeader("-FVE-FS-", fve::header::kIdentifier, fve::header::kMetadataOffsets);
    PutBytes(eow, fve::header::kIdentifier,
             test::Bytes({0x3b, 0x4d, 0xa8, 0x92, 0x80, 0xdd, 0x0e, 0x4d, 0x9e, 0x4e, 0xb1, 0xe3,
                          0x28, 0x4e, 0xae, 0xd8}));
    const auto onWrite = ParseFveVolumeHeader(eow);
    ASSERT_TRUE(onWrite);
    EXPECT_TRUE(onWrite->encryptOnWrite);

    // Vista: no identifier; the first block's cluster where NTFS keeps its
    // mirror's.
    Buf vista(512, std::byte{0});
    PutText(vista, fve::header::kOemId, "-FVE-FS-");
    Put(vista, fve::header::kBytesPerSector, 512, 2);
    vista[fve::header::kSectorsPerCluster] = std::byte{8};
    Put(vista, fve::header::kVistaMetadataLcn, 0x1000, 8);
    const auto old = ParseFveVolumeHeader(vista);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->layout, FveLayout::Vista);
    EXPECT_EQ(old->metadataOffsets[0], 0x1000U * 4096);

    // A plain FAT volume named MSWIN4.1, an NTFS boot sector, a short
    // sector, and sizes no volume has.
    Buf fat = VolumeHeader("MSWIN4.1", fve::header::kIdentifier, fve::header::kMetadataOffsets);
    EXPECT_FALSE(ParseFveVolumeHeader(fat));
    EXPECT_FALSE(ParseFveVolumeHeader(
        VolumeHeader("NTFS    ", fve::header::kIdentifier, fve::header::kMetadataOffsets)));
    EXPECT_FALSE(ParseFveVolumeHeader(std::span(vista).first(511)));
    Buf odd = VolumeHeader("-FVE-FS-", fve::header::kIdentifier, fve::header::kMetadataOffsets);
    Put(odd, fve::header::kBytesPerSector, 520, 2);
    EXPECT_FALSE(ParseFveVolumeHeader(odd));
    Put(odd, fve::header::kBytesPerSector, 512, 2);
    odd[fve::header::kSectorsPerCluster] = std::byte{3};
    EXPECT_FALSE(ParseFveVolumeHeader(odd));
    Put(vista, fve::header::kVistaMetadataLcn, UINT64_MAX / 1024, 8);
    EXPECT_FALSE(ParseFveVolumeHeader(vista));
}

TEST(FveBlockHeader, ReadsTheFieldsAndRefusesOtherBlocks) {
    Buf b(fve::block::kSize, std::byte{0});
    PutText(b, fve::block::kSignature, "-FVE-FS-");
    Put(b, fve::block::kVersion, 2, 2);
    Put(b, fve::block::kEncryptedSize, 0x6400000, 8);
    Put(b, fve::block::kHeaderSectors, 16, 4);
    Put(b, fve::block::kBlockOffsets + 8, 0x2c1d000, 8);
    Put(b, fve::block::kMovedHeader, 0x21a5000, 8);
    const auto h = ParseFveBlockHeader(b);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->encryptedSize, 0x6400000U);
    EXPECT_EQ(h->headerSectors, 16U);
    EXPECT_EQ(h->blockOffsets[1], 0x2c1d000U);
    EXPECT_EQ(h->movedHeaderOffset, 0x21a5000U);

    EXPECT_FALSE(ParseFveBlockHeader(std::span(b).first(fve::block::kSize - 1)));
    Put(b, fve::block::kVersion, 3, 2);
    EXPECT_FALSE(ParseFveBlockHeader(b));
    Put(b, fve::block::kVersion, 2, 2);
    b[0] = std::byte{'X'};
    EXPECT_FALSE(ParseFveBlockHeader(b));
}

TEST(FveMetadata, ReadsProtectorsVolumeKeyAndMovedHeader) {
    Buf clearKey =
        Protector(0xc1, fve::protection::kClearKey,
                  Cat({Entry(0, fve::valuetype::kKey, KeyValue(0x2000, Repeat(0x77, 32))),
                       Sealed(0x44, 44)}));
    // A version-3 entry, as Windows 11 writes them, reads like version 1.
    Put(clearKey, fve::entry::kVersion, 3, 2);
    const Buf bytes = Metadata(
        Cat({Description(), PasswordProtector(), clearKey,
             Entry(fve::entrytype::kVolumeKey, fve::valuetype::kSealedKey, SealedValue(0x55, 28)),
             MovedHeader()}));
    FveMetadata m;
    ASSERT_EQ(ParseFveMetadata(bytes, m), FveMetadataError::None);
    EXPECT_EQ(m.method, fve::method::kAesXts128);
    EXPECT_EQ(m.nonceCounter, 10U);
    EXPECT_EQ(m.description, "PC F: 7/3/2019");
    ASSERT_EQ(m.protectors.size(), 2U);

    const FveProtector& password = m.protectors[0];
    EXPECT_EQ(password.protection, fve::protection::kPassword);
    EXPECT_EQ(password.id[0], 0xa1);
    ASSERT_TRUE(password.salt);
    EXPECT_EQ((*password.salt)[15], 0x5a);
    // The master key is the protector's own sealed key, not the one nested
    // in its stretch key.
    ASSERT_TRUE(password.sealedMasterKey);
    EXPECT_EQ(password.sealedMasterKey->data.size(), 44U);
    EXPECT_EQ(password.sealedMasterKey->data[0], 0x33);
    EXPECT_EQ(password.sealedMasterKey->nonce[0], 0x11);
    EXPECT_EQ(password.sealedMasterKey->mac[15], 0x22);

    const FveProtector& clear = m.protectors[1];
    EXPECT_EQ(clear.protection, fve::protection::kClearKey);
    EXPECT_EQ(clear.clearKey, std::vector<std::uint8_t>(32, 0x77));
    EXPECT_FALSE(clear.salt);

    ASSERT_TRUE(m.sealedVolumeKey);
    EXPECT_EQ(m.sealedVolumeKey->data, std::vector<std::uint8_t>(28, 0x55));
    EXPECT_EQ(m.movedHeaderOffset, 0x21a5000U);
    EXPECT_EQ(m.movedHeaderSize, 0x2000U);
}

TEST(FveMetadata, LyingSizesAndLengthsAreDamageNotReads) {
    const Buf good = Metadata(Cat({Description(), PasswordProtector()}));
    FveMetadata m;
    ASSERT_EQ(ParseFveMetadata(good, m), FveMetadataError::None);

    EXPECT_EQ(ParseFveMetadata(std::span(good).first(20), m), FveMetadataError::Truncated);
    // The size beyond the bytes there are; the copy disagreeing; beyond the
    // block; smaller than the header.
    EXPECT_EQ(ParseFveMetadata(std::span(good).first(good.size() - 1), m),
              FveMetadataError::Truncated);
    Buf lie = good;
    Put(lie, fve::metadata::kSizeCopy, good.size() - 8, 4);
    EXPECT_EQ(ParseFveMetadata(lie, m), FveMetadataError::BadSize);
    lie = good;
    Put(lie, fve::metadata::kSize, 0x20000, 4);
    Put(lie, fve::metadata::kSizeCopy, 0x20000, 4);
    EXPECT_EQ(ParseFveMetadata(lie, m), FveMetadataError::BadSize);
    Put(lie, fve::metadata::kSize, 8, 4);
    Put(lie, fve::metadata::kSizeCopy, 8, 4);
    EXPECT_EQ(ParseFveMetadata(lie, m), FveMetadataError::BadSize);
    lie = good;
    Put(lie, fve::metadata::kHeaderSize, 0x40, 4);
    EXPECT_EQ(ParseFveMetadata(lie, m), FveMetadataError::BadHeader);

    // An entry shorter than its header, or longer than what holds it: the
    // entries before it are kept.
    const std::size_t second = fve::metadata::kHeaderBytes + Description().size();
    for (const std::size_t size : {std::size_t{4}, good.size()}) {
        lie = good;
        Put(lie, second + fve::entry::kSize, size, 2);
        EXPECT_EQ(ParseFveMetadata(lie, m), FveMetadataError::BadEntry);
        EXPECT_EQ(m.description, "PC F: 7/3/2019");
        EXPECT_TRUE(m.protectors.empty());
    }
    // A nested entry that leaves its protector.
    lie = good;
    Put(lie, second + fve::entry::kHeaderBytes + fve::value::kMasterKeyEntries, 0x400, 2);
    EXPECT_EQ(ParseFveMetadata(lie, m), FveMetadataError::BadEntry);
    // A protector too short for its own fields.
    const Buf stub =
        Metadata(Entry(fve::entrytype::kVolumeMasterKey, fve::valuetype::kMasterKey, Buf(8)));
    EXPECT_EQ(ParseFveMetadata(stub, m), FveMetadataError::BadEntry);

    // A zero size ends the list: what follows is padding. An entry of a
    // version we do not know is passed over.
    Buf padded = Metadata(Cat({Description(), Buf(8), PasswordProtector()}));
    ASSERT_EQ(ParseFveMetadata(padded, m), FveMetadataError::None);
    EXPECT_TRUE(m.protectors.empty());
    const Buf unknown = Metadata(
        Cat({Entry(fve::entrytype::kDescription, fve::valuetype::kString, Repeat(0x41, 4), 9),
             PasswordProtector()}));
    ASSERT_EQ(ParseFveMetadata(unknown, m), FveMetadataError::None);
    EXPECT_TRUE(m.description.empty());
    EXPECT_EQ(m.protectors.size(), 1U);
}

TEST(FveKeys, UnsealedKeyEntryAndStartupKeyFile) {
    const Buf entry = Entry(0, fve::valuetype::kKey, KeyValue(0x8004, Repeat(0x42, 32)));
    const auto key = ParseFveKeyEntry(entry);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->method, fve::method::kAesXts128);
    EXPECT_EQ(key->bytes, std::vector<std::uint8_t>(32, 0x42));
    // Longer than the bytes there are; no key bytes; another value type.
    EXPECT_FALSE(ParseFveKeyEntry(std::span(entry).first(entry.size() - 1)));
    EXPECT_FALSE(ParseFveKeyEntry(Entry(0, fve::valuetype::kKey, KeyValue(0x8004, {}))));
    EXPECT_FALSE(ParseFveKeyEntry(Entry(0, fve::valuetype::kString, Repeat(0x41, 40))));

    // A startup key file: a metadata header, and an external key entry
    // named by the protector's GUID holding a name and the key.
    Buf external(fve::value::kExternalKeyEntries, std::byte{0});
    std::memset(external.data(), 0x59, 16);
    const Buf inner = Cat({Entry(0, fve::valuetype::kString, Repeat(0x45, 22)),
                           Entry(0, fve::valuetype::kKey, KeyValue(0x2002, Repeat(0xe0, 32)))});
    external.insert(external.end(), inner.begin(), inner.end());
    const Buf bek =
        Metadata(Entry(fve::entrytype::kStartupKey, fve::valuetype::kExternalKey, external));
    const auto startup = ParseFveStartupKey(bek);
    ASSERT_TRUE(startup);
    EXPECT_EQ(startup->id[0], 0x59);
    EXPECT_EQ(startup->key, std::vector<std::uint8_t>(32, 0xe0));

    EXPECT_FALSE(ParseFveStartupKey(std::span(bek).first(bek.size() - 1)));
    EXPECT_FALSE(ParseFveStartupKey(Metadata(Description())));
    EXPECT_FALSE(ParseFveStartupKey(Repeat(0x30, 100)));
}

TEST(FveNames, KnownAndUnknownValues) {
    EXPECT_EQ(ProtectionName(fve::protection::kRecoveryPassword), "recovery password");
    EXPECT_EQ(ProtectionName(fve::protection::kSmartCard), "smart card");
    EXPECT_EQ(ProtectionName(0x4242), "unknown (0x4242)");
    EXPECT_EQ(MethodName(fve::method::kAesCbc128Diffuser), "AES-CBC 128 with diffuser");
    EXPECT_EQ(MethodName(0x1234), "unknown (0x1234)");
    EXPECT_EQ(VolumeKeyBytes(fve::method::kAesXts256), 64U);
    EXPECT_EQ(VolumeKeyBytes(0x1234), 0U);
}

} // namespace
} // namespace lorvex::ondisk
