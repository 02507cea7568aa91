// The local print spooler, one call each: the size of the list of local printers and the list
// itself, opening a printer, and the size and state of one print job. A failing call returns
// false (or null) with the error code in the thread's last error (platform::lastError); the
// deciding of what the answers mean is the caller's.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace monitor {

struct PrinterEntry {
    std::string name;
    uint32_t status = 0;  // PRINTER_STATUS_* bits
    uint32_t jobs = 0;    // jobs queued
};

class PrinterConnection {
public:
    virtual ~PrinterConnection() = default;  // closes the printer
};

class PrintSpooler {
public:
    virtual ~PrintSpooler() = default;

    // Asks for the size of the local printer list with an empty buffer. True means the call
    // succeeded, which it does only when there is no printer; otherwise `needed` is the size.
    virtual bool printerListSize(uint32_t& needed) = 0;
    // Reads the list into a buffer of `size` bytes.
    virtual bool readPrinterList(uint32_t size, std::vector<PrinterEntry>& printers) = 0;
    virtual std::unique_ptr<PrinterConnection> open(const std::string& name) = 0;
    // Asks for the size of job `index` with an empty buffer; true means there is no such job.
    virtual bool jobSize(PrinterConnection& printer, uint32_t index, uint32_t& needed) = 0;
    // Reads job `index` into a buffer of `size` bytes and gives its JOB_STATUS_* bits.
    virtual bool readJob(PrinterConnection& printer, uint32_t index, uint32_t size, uint32_t& status) = 0;
};

// winspool on Windows; elsewhere a spooler without printers.
std::shared_ptr<PrintSpooler> systemPrintSpooler();

}  // namespace monitor
