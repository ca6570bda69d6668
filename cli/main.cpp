// `kestrel`: converts NavCom receiver logs with the Kestrel library, tells NavCom logs
// from other files, and summarises OBX observation files. It uses the library only
// through its exported functions, as any host would.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "kestrel/kestrel.h"

namespace kestrel::cli {
namespace {

constexpr const char* kUsage =
    "usage: kestrel convert LOG [-o OUTBASE] [options]\n"
    "       kestrel detect FILE...\n"
    "       kestrel inspect FILE.obx\n"
    "       kestrel --help | --version\n"
    "\n"
    "convert   converts a NavCom binary log into OUTBASE.obx (observations) and\n"
    "          OUTBASE.epp (ephemerides); OUTBASE defaults to LOG, and any extension\n"
    "          it has is replaced\n"
    "  -o, --output OUTBASE     base name of the two output files\n"
    "  --no-clock-correction    keep the receiver's time tags; solve no position\n"
    "  --flag-epochs            mark every epoch with flag value 2\n"
    "  --no-l2-slips            do not report L2 cycle slips\n"
    "  --verbose                also report frame-length diagnostics of the decoder\n"
    "  -q, --quiet              no progress display\n"
    "detect    tells for each file whether it holds NavCom binary data\n"
    "          (exit status 0 when all do)\n"
    "inspect   checks an OBX file and summarises its header and epochs\n"
    "          (exit status 0 when the file is complete and sound)\n"
    "\n"
    "Ctrl-C stops a conversion cleanly; what was converted so far is kept.\n";

}  // namespace

void PrintError(const std::string& text) { std::fprintf(stderr, "kestrel: %s\n", text.c_str()); }

int RunDetect(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintError("detect needs at least one FILE");
        return kExitUsage;
    }
    bool allNavCom = true;
    for (const std::string& path : args) {
        // AutoDetect says 0 for a file it cannot open; tell the user which it was.
        std::FILE* probe = std::fopen(path.c_str(), "rb");
        if (probe == nullptr) {
            std::printf("%s: cannot open: %s\n", path.c_str(), std::strerror(errno));
            allNavCom = false;
            continue;
        }
        std::fclose(probe);
        const bool navcom = AutoDetect(path.c_str()) == 1;
        std::printf("%s: %s\n", path.c_str(), navcom ? "NavCom binary" : "not NavCom binary");
        allNavCom = allNavCom && navcom;
    }
    return allNavCom ? kExitOk : kExitFailure;
}

}  // namespace kestrel::cli

int main(int argc, char** argv) {
    using namespace kestrel::cli;
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "--version" || command == "version") {
        std::printf("kestrel %s\n", KESTREL_VERSION);
        return kExitOk;
    }
    if (command == "convert") return RunConvert(args);
    if (command == "detect") return RunDetect(args);
    if (command == "inspect") return RunInspect(args);
    PrintError("unknown command '" + command + "' (see kestrel --help)");
    return kExitUsage;
}
