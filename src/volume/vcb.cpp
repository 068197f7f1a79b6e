#include "volume/vcb.h"

#include <new>

#include "app/process_exit.h"
#include "app/system_error.h"

namespace relicta::volume {

VCB* Vcb = nullptr;

VCB& EnsureVcb() {
    try {
        if (Vcb == nullptr) {
            Vcb = new VCB();
        }
        if (!Vcb->pBpb) {
            Vcb->pBpb = std::make_unique<Bpb>();
            Vcb->pBpb->BytesPerSector = kDefaultBytesPerSector;
        }
    } catch (const std::bad_alloc&) {
        app::FatalError("Cannot allocate memory to open volume and read boot sector",
                        "Fatal error");
    }
    return *Vcb;
}

void CloseVolume() {
    if (Vcb == nullptr) {
        return;
    }
    if (platform::IsOpenHandle(Vcb->hVolume) &&
        !platform::CurrentPlatform().CloseHandle(Vcb->hVolume)) {
        app::ShowSystemError();
    }
    delete Vcb;
    Vcb = nullptr;
}

}  // namespace relicta::volume
