// An application built against the installed SDK. Its test starts the simulated peripheral in
// its own process, opens it through the KEST library, downloads the peripheral's file and
// closes again; it exits 0 when the file arrived whole.
//
//   consumer [ROOT]    ROOT stands for the handheld's files (default ./consumer-root)
#include <host/files.h>
#include <kest.h>
#include <peripheral/peripheral.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path root = argc > 1 ? argv[1] : "consumer-root";
    fs::remove_all(root);  // the library keeps a file it finds in place
    host::files::setRoot(root.string());

    sim::Peripheral peripheral;  // the default profile: a 1000-byte file named calib
    peripheral.start();

    const int opened = KEST_Open(1, 1, 10);
    const fs::path file = root / "QUOX" / "RUV" / "calib.bin";
    std::error_code error;
    const auto size = fs::file_size(file, error);
    std::printf("open %d, %s: %s\n", opened, file.c_str(),
                error ? "missing" : (std::to_string(size) + " bytes").c_str());

    KEST_Close();
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (KEST_GetState() != KEST_STATE_CLOSED && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return opened == KEST_OK && !error && size == 1000 ? 0 : 1;
}
