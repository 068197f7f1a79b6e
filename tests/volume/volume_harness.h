#pragma once
// Installs the scripted platform, recording dialogs and a catching exit for volume tests.

#include <gtest/gtest.h>

#include "app/consistency.h"
#include "app/process_exit.h"
#include "app/recording_dialogs.h"
#include "platform/scripted_platform.h"
#include "volume/vcb.h"

namespace relicta::test {

class VolumeHarness : public ::testing::Test {
  protected:
    void SetUp() override {
        app::ResetConsistencyFailures();
        app::SetExitHook([](int status) { throw app::ProcessExit{status}; });
    }
    void TearDown() override {
        volume::CloseVolume();
        app::SetExitHook(nullptr);
    }

    // A drive whose volume is `bytes`, padded to at least `size`.
    platform::ScriptedDrive& AddDrive(char letter, std::vector<uint8_t> bytes, std::size_t size = 0,
                                      std::string fsName = "FAT") {
        platform::ScriptedDrive& drive = os.Drive(letter);
        if (bytes.size() < size) {
            bytes.resize(size);
        }
        drive.bytes = std::move(bytes);
        drive.fileSystemName = std::move(fsName);
        return drive;
    }

    std::vector<std::string> Captions() const { return dialogs.Captions(); }

    platform::ScriptedPlatform os;
    platform::ScopedPlatform installedPlatform{os};
    app::RecordingDialogs dialogs;
    app::ScopedDialogs installedDialogs{dialogs};
};

}  // namespace relicta::test
