// Windows only: the spooler calls of the printer check, one each.
#include "platform/win32_types.h"
#include <winspool.h>

#include "monitor/print_spooler.h"
#include "platform/unique_resource.h"

namespace monitor {

namespace {

struct PrinterTraits {
    using Type = HANDLE;
    static Type invalid() { return nullptr; }
    static bool isValid(Type h) { return h != nullptr; }
    static void close(Type h) { ClosePrinter(h); }
};

class WinPrinterConnection : public PrinterConnection {
public:
    explicit WinPrinterConnection(HANDLE h) : handle(h) {}
    platform::UniqueResource<PrinterTraits> handle;
};

class WinSpooler : public PrintSpooler {
public:
    bool printerListSize(uint32_t& needed) override {
        DWORD size = 0;
        DWORD returned = 0;
        const BOOL ok = EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &size, &returned);
        needed = size;
        return ok != FALSE;
    }

    bool readPrinterList(uint32_t size, std::vector<PrinterEntry>& printers) override {
        std::vector<BYTE> buffer(size);
        DWORD needed = 0;
        DWORD returned = 0;
        if (!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), size, &needed, &returned)) return false;
        const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
        printers.clear();
        for (DWORD i = 0; i < returned; ++i)
            printers.push_back({info[i].pPrinterName ? info[i].pPrinterName : "", info[i].Status, info[i].cJobs});
        return true;
    }

    std::unique_ptr<PrinterConnection> open(const std::string& name) override {
        HANDLE h = nullptr;
        std::string copy = name;
        if (!OpenPrinterA(&copy[0], &h, nullptr)) return nullptr;
        return std::make_unique<WinPrinterConnection>(h);
    }

    bool jobSize(PrinterConnection& printer, uint32_t index, uint32_t& needed) override {
        DWORD size = 0;
        DWORD returned = 0;
        const BOOL ok = EnumJobsA(handleOf(printer), index, 1, 1, nullptr, 0, &size, &returned);
        needed = size;
        return ok != FALSE;
    }

    bool readJob(PrinterConnection& printer, uint32_t index, uint32_t size, uint32_t& status) override {
        std::vector<BYTE> buffer(size);
        DWORD needed = 0;
        DWORD returned = 0;
        if (!EnumJobsA(handleOf(printer), index, 1, 1, buffer.data(), size, &needed, &returned)) return false;
        if (returned == 0) return false;
        status = reinterpret_cast<const JOB_INFO_1A*>(buffer.data())->Status;
        return true;
    }

private:
    static HANDLE handleOf(PrinterConnection& printer) { return static_cast<WinPrinterConnection&>(printer).handle.get(); }
};

}  // namespace

std::shared_ptr<PrintSpooler> systemPrintSpooler() {
    static const std::shared_ptr<PrintSpooler> instance = std::make_shared<WinSpooler>();
    return instance;
}

}  // namespace monitor
