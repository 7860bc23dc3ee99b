#include "ntfs/FileTable.h"

#include "ondisk/Attribute.h"
#include "ondisk/RunList.h"

#include <limits>

namespace lorvex::ntfs {

void TRecordRuns::AddRecord(std::span<const std::byte> record, bool valid) {
    BeginRecord();
    if (valid) {
        auto walk = ondisk::WalkRecordAttributes(record);
        while (const auto a = walk.Next()) {
            AddAttribute(a->type, a->bytes);
        }
    }
}

void TRecordRuns::BeginRecord() {
    Entries.push_back({static_cast<std::uint32_t>(Attributes.size()), 0});
}

void TRecordRuns::AddAttribute(std::uint32_t type, std::span<const std::byte> attribute) {
    if (Overflowed || ondisk::IsResident(attribute)) {
        return;
    }
    const std::size_t first = Runs.size();
    for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(attribute)).runs) {
        Runs.push_back(TDataRun{run.lcn, run.length, run.sparse});
    }
    if (Runs.size() > std::numeric_limits<std::uint32_t>::max() ||
        Attributes.size() >= std::numeric_limits<std::uint32_t>::max()) {
        Overflowed = true;
        return;
    }
    Attributes.push_back(
        {type, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(Runs.size() - first)});
    ++Entries.back().AttributeCount;
}

void TRecordRuns::Append(const TRecordRuns& next) {
    if (next.Overflowed ||
        Attributes.size() + next.Attributes.size() > std::numeric_limits<std::uint32_t>::max() ||
        Runs.size() + next.Runs.size() > std::numeric_limits<std::uint32_t>::max()) {
        Overflowed = true;
    }
    const auto attributeBase = static_cast<std::uint32_t>(Attributes.size());
    const auto runBase = static_cast<std::uint32_t>(Runs.size());
    // Copied whole and then renumbered where they landed: this runs in the
    // scan's ordered step, one block after another, and an element at a
    // time it was the largest part of that step.
    const std::size_t entriesFrom = Entries.size();
    Entries.insert(Entries.end(), next.Entries.begin(), next.Entries.end());
    for (auto it = Entries.begin() + static_cast<std::ptrdiff_t>(entriesFrom); it != Entries.end();
         ++it) {
        it->FirstAttribute = Overflowed ? 0 : it->FirstAttribute + attributeBase;
    }
    if (Overflowed) {
        return;
    }
    const std::size_t attributesFrom = Attributes.size();
    Attributes.insert(Attributes.end(), next.Attributes.begin(), next.Attributes.end());
    for (auto it = Attributes.begin() + static_cast<std::ptrdiff_t>(attributesFrom);
         it != Attributes.end(); ++it) {
        it->FirstRun += runBase;
    }
    Runs.insert(Runs.end(), next.Runs.begin(), next.Runs.end());
}

void TRecordRuns::Clear() {
    Entries.clear();
    Attributes.clear();
    Runs.clear();
    Overflowed = false;
}

void TRecordRuns::Reserve(std::size_t entries) {
    Entries.reserve(entries);
    Attributes.reserve(entries);
    Runs.reserve(entries);
}

bool TRecordRuns::Covers(std::int32_t count) const {
    return !Overflowed && count >= 0 && Entries.size() == static_cast<std::size_t>(count);
}

} // namespace lorvex::ntfs
