// Linux only: a spooler without printers, so the printer check never finds work.
#include "monitor/print_spooler.h"
#include "platform/last_error.h"
#include "platform/win32_types.h"

namespace monitor {

namespace {

class NoPrinters : public PrintSpooler {
public:
    bool printerListSize(uint32_t& needed) override {
        needed = 0;
        return true;
    }
    bool readPrinterList(uint32_t, std::vector<PrinterEntry>& printers) override {
        printers.clear();
        return true;
    }
    std::unique_ptr<PrinterConnection> open(const std::string&) override {
        platform::setLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    bool jobSize(PrinterConnection&, uint32_t, uint32_t& needed) override {
        needed = 0;
        return true;
    }
    bool readJob(PrinterConnection&, uint32_t, uint32_t, uint32_t&) override {
        platform::setLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
};

}  // namespace

std::shared_ptr<PrintSpooler> systemPrintSpooler() {
    static const std::shared_ptr<PrintSpooler> instance = std::make_shared<NoPrinters>();
    return instance;
}

}  // namespace monitor
