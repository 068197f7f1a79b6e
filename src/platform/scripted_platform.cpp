#include "platform/scripted_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/last_error.h"

namespace relicta::platform {
namespace {
char Upper(char letter) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}
}  // namespace

ScriptedDrive& ScriptedPlatform::Drive(char letter) {
    std::unique_ptr<ScriptedDrive>& drive = drives_[Upper(letter)];
    if (!drive) {
        drive = std::make_unique<ScriptedDrive>();
    }
    return *drive;
}

ScriptedDrive* ScriptedPlatform::Find(char letter) {
    auto it = drives_.find(Upper(letter));
    return it == drives_.end() ? nullptr : it->second.get();
}

DriveType ScriptedPlatform::GetDriveType(char letter) {
    ScriptedDrive* drive = Find(letter);
    return drive == nullptr ? DriveType::NoRootDir : drive->type;
}

std::optional<std::string> ScriptedPlatform::GetFileSystemName(char letter) {
    ++fileSystemQueries;
    ScriptedDrive* drive = Find(letter);
    if (drive == nullptr) {
        SetLastError(ENOENT);
        return std::nullopt;
    }
    if (drive->notReadyTimes > 0) {
        --drive->notReadyTimes;
        SetLastError(kErrorNotReady);
        return std::nullopt;
    }
    if (drive->fileSystemError != 0) {
        SetLastError(drive->fileSystemError);
        return std::nullopt;
    }
    return drive->fileSystemName;
}

std::optional<DiskFreeSpace> ScriptedPlatform::GetDiskFreeSpace(char letter) {
    ScriptedDrive* drive = Find(letter);
    SetLastError(drive == nullptr ? ENOENT : drive->freeSpaceError);
    if (drive == nullptr) {
        return std::nullopt;
    }
    return drive->freeSpace;
}

Handle ScriptedPlatform::OpenVolume(char letter) {
    ScriptedDrive* drive = Find(letter);
    if (drive == nullptr || drive->openError != 0) {
        SetLastError(drive == nullptr ? ENOENT : drive->openError);
        return kInvalidHandle;
    }
    const Handle handle = nextHandle_++;
    open_[handle] = Upper(letter);
    return handle;
}

bool ScriptedPlatform::AnnouncedBefore(std::size_t index) const {
    const int64_t at = readLog.at(index).first;
    return std::any_of(announced.begin(), announced.end(), [&](const Announcement& a) {
        return a.readsBefore <= index && at >= a.offset &&
               static_cast<uint64_t>(at - a.offset) < a.length;
    });
}

bool ScriptedPlatform::ReadAt(Handle handle, int64_t offset, std::span<uint8_t> out,
                              std::size_t& bytesRead) {
    bytesRead = 0;
    ++reads;
    readLog.emplace_back(offset, out.size());
    auto it = open_.find(handle);
    if (it == open_.end()) {
        SetLastError(EBADF);
        return false;
    }
    if (offset < 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    ScriptedDrive& drive = *Find(it->second);
    if (drive.readError != 0 && offset + static_cast<int64_t>(out.size()) > drive.readErrorFrom) {
        SetLastError(drive.readError);
        return false;
    }
    for (const ByteRun& bad : drive.badRuns) {
        if (offset < bad.End() && bad.offset < offset + static_cast<int64_t>(out.size())) {
            ++drive.failedReads;
            SetLastError(EIO);
            return false;
        }
    }
    uint64_t end = drive.bytes.size();
    if (drive.shortReadAt) {
        end = std::min<uint64_t>(end, *drive.shortReadAt);
    }
    const uint64_t start = static_cast<uint64_t>(offset);
    if (start >= end) {
        return true;
    }
    bytesRead = static_cast<std::size_t>(std::min<uint64_t>(out.size(), end - start));
    if (bytesRead != 0) {
        std::memcpy(out.data(), drive.bytes.data() + start, bytesRead);
    }
    return true;
}

bool ScriptedPlatform::CloseHandle(Handle handle) {
    if (open_.erase(handle) == 0) {
        SetLastError(EBADF);
        return false;
    }
    return true;
}

uint64_t ScriptedPlatform::VolumeLength(Handle handle) {
    auto it = open_.find(handle);
    return it == open_.end() ? 0 : Find(it->second)->bytes.size();
}

bool ScriptedPlatform::ReadsWholeChunks(Handle handle) {
    auto it = open_.find(handle);
    return it != open_.end() && Find(it->second)->readsWholeChunks;
}

bool ScriptedPlatform::IsBlockDevice(char letter) {
    ScriptedDrive* drive = Find(letter);
    return drive != nullptr && drive->blockDevice;
}

}  // namespace relicta::platform
