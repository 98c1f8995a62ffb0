// The CUSE GPIO device (kxgpiodev) behind a real /dev/gpio: its driver
// contract through raw system calls, several readers at once, and the host
// program's demo sampling it from another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gpio_device.h"
#include "kxtest.h"

namespace {

struct Record {
    uint16_t line;
    uint16_t value;
};

class GpioDevice : public ::testing::Test {
protected:
    void SetUp() override {
        KXGPIO_REQUIRE_DEVICE();
        ASSERT_TRUE(kxgpio::Reset());
    }
};

TEST_F(GpioDevice, RecordReadAndDrivesThroughSystemCalls) {
    kxtest::UniqueFd fd(open("/dev/gpio", O_RDONLY));
    ASSERT_TRUE(fd) << strerror(errno);
    EXPECT_EQ(kxgpio::GetState().open, 1);

    ASSERT_TRUE(kxgpio::SetLevel(5, 0x1234));
    Record rec = {5, 0xaaaa};
    ASSERT_EQ(read(fd.get(), &rec, sizeof rec), 4);
    EXPECT_EQ(rec.line, 5u) << "the line stays as the reader put it";
    EXPECT_EQ(rec.value, 0x1234u);
    const kxgpio::ReadEvent ev = kxgpio::GetRead(0);
    EXPECT_EQ(ev.line, 5);
    EXPECT_EQ(ev.preset, 0xaaaau) << "the device sees the reader's record";
    rec = {6, 0x7777};
    ASSERT_EQ(read(fd.get(), &rec, sizeof rec), 4);
    EXPECT_EQ(rec.value, 0u) << "a line never set is low";

    // Whole records only, and only the two drive requests.
    char three[3];
    errno = 0;
    EXPECT_EQ(read(fd.get(), three, sizeof three), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(ioctl(fd.get(), 7, 17), -1);
    EXPECT_EQ(errno, ENOTTY);

    const struct {
        unsigned long request;
        int line;
    } drives[] = {{1, 17}, {0, 18}, {1, 270}, {0, 17}};
    for (const auto& d : drives) EXPECT_EQ(ioctl(fd.get(), d.request, d.line), 0) << d.line;
    EXPECT_EQ(kxgpio::Output(17), 0) << "the last drive of a line counts";
    EXPECT_EQ(kxgpio::Output(18), 0);
    EXPECT_EQ(kxgpio::Output(270), 1);
    EXPECT_EQ(kxgpio::Output(19), -1) << "never driven";
    ASSERT_EQ(kxgpio::GetState().drives, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(kxgpio::GetDrive(i).request, drives[i].request);
        EXPECT_EQ(kxgpio::GetDrive(i).line, drives[i].line);
    }
    fd.reset();
    EXPECT_EQ(kxgpio::GetState().open, 0);
    EXPECT_EQ(kxgpio::GetState().closes, 1);
}

// The device finds each reader's own record, also when several read at once.
TEST_F(GpioDevice, ConcurrentReadersGetTheirOwnLines) {
    const unsigned lines[] = {17, 18, 300, 301};
    for (unsigned line : lines) ASSERT_TRUE(kxgpio::SetLevel(line, 0x100 + line));
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> readers;
    for (unsigned line : lines) {
        readers.emplace_back([line, &wrong, &failed] {
            kxtest::UniqueFd fd(open("/dev/gpio", O_RDONLY));
            if (!fd) {
                ++failed;
                return;
            }
            for (int i = 0; i < 100; ++i) {
                Record rec = {static_cast<uint16_t>(line), 0};
                if (read(fd.get(), &rec, sizeof rec) != 4) ++failed;
                else if (rec.line != line || rec.value != 0x100 + line) ++wrong;
            }
        });
    }
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(kxgpio::GetState().reads, 400);
}

#ifdef KXHOST_PATH
std::string RunDemo(int* code) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "";
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execl(KXHOST_PATH, KXHOST_PATH, "demo", "--lib", KXSER_LIB_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    while (kxtest::WaitReadable(out[0], 60000)) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

// The summary row of one channel family, split into its columns.
std::vector<std::string> SummaryRow(const std::string& text, const std::string& family) {
    std::istringstream lines(text.substr(text.rfind("\nSummary\n") == std::string::npos ? text.size()
                                                                                        : text.rfind("\nSummary\n")));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream cols(line);
        std::vector<std::string> row;
        std::string col;
        while (cols >> col) row.push_back(col);
        if (!row.empty() && row[0] == family) return row;
    }
    return {};
}

TEST_F(GpioDevice, HostDemoSamplesTheDevice) {
    ASSERT_TRUE(kxgpio::SetLevel(18, 1));
    ASSERT_TRUE(kxgpio::SetLevel(17, 0));
    int code = -1;
    const std::string text = RunDemo(&code);
    EXPECT_EQ(code, 0) << text;
    // channel, type, note, open, write, read, result ("inputs 1 0")
    const std::vector<std::string> row = SummaryRow(text, "gpio");
    const std::vector<std::string> want = {"gpio", "0x800001", "KXI1:", "ok", "-", "ok", "inputs", "1", "0"};
    EXPECT_EQ(row, want) << text;
    const kxgpio::State st = kxgpio::GetState();
    EXPECT_EQ(st.opens, 1);
    EXPECT_EQ(st.reads, 2);
    EXPECT_EQ(st.drives, 0) << "the demo never drives outputs";
    EXPECT_EQ(st.open, 0);
}
#endif

}  // namespace
