// A pseudo-terminal whose master side plays the device: the library opens
// path(), the test sends replies and reads what the library wrote.
#pragma once

#include <string>

namespace vantor_test {

class PtyDevice {
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& path() const { return path_; }
    void Send(const std::string& bytes);
    // Reads until n bytes have come or wait_ms has passed.
    std::string Read(std::size_t n, int wait_ms = 1000);
    // Everything that arrives within wait_ms.
    std::string ReadAll(int wait_ms = 100);
    // Hangs up: the library's reads then fail.
    void Close();
    int master() const { return master_; }

private:
    int master_ = -1;
    std::string path_;
};

// Open descriptors of this process, for leak checks.
int OpenDescriptorCount();

}  // namespace vantor_test
