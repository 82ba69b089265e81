// The host-built programs as a user runs them: standard output, standard error, exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>

#include "support.h"

namespace {

using testing_support::lines_of;

struct process_result {
    int status;
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
            text.append(buffer, n);
        }
        std::fclose(f);
    }
    return text;
}

process_result run_program(const std::string& command)
{
    // Named for this test and process, so that tests run side by side keep their own.
    const std::string err_path = ::testing::TempDir() +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
                                 std::to_string(getpid()) + ".stderr";
    FILE* pipe = popen((command + " 2>" + err_path).c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return {-1, "", ""};
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pclose(pipe);
    process_result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, read_file(err_path)};
    std::remove(err_path.c_str());
    return result;
}

// A float as the stream writes it by default: printf's %g at precision 6.
const std::string g_float =
    "(0|[1-9][0-9]{0,5}|[0-9]\\.[0-9]{0,4}[1-9]|[1-9][0-9]{0,4}\\.[0-9]{0,4}[1-9]|0\\.0{0,3}[1-9][0-9]{0,5}|"
    "[1-9](\\.[0-9]{0,4}[1-9])?e[-+][0-9]{2,3})";

TEST(Binary, VecmatPrintsItsEightLinesWhateverItsArguments)
{
    for (const std::string args : {"", " --help extra words"}) {
        const auto run = run_program(std::string(VECMAT_PATH) + args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto lines = lines_of(run.out);
        ASSERT_EQ(lines.size(), 8u) << run.out;
        EXPECT_TRUE(std::regex_match(
            lines[0], std::regex("Время выполнения скалярного произведения \\(CUDA\\): " + g_float + " мс")))
            << lines[0];
        EXPECT_EQ(lines[1], "Скалярное произведение (CUDA): 2.09715e+06");
        EXPECT_TRUE(std::regex_match(
            lines[2], std::regex("Время выполнения скалярного произведения \\(Thrust\\): [0-9]+ мс")))
            << lines[2];
        EXPECT_EQ(lines[3], "Скалярное произведение (Thrust): 2.09715e+06");
        EXPECT_TRUE(std::regex_match(
            lines[4], std::regex("Время выполнения транспонирования \\(CUDA\\): " + g_float + " мс")))
            << lines[4];
        EXPECT_EQ(lines[5], "Транспонированная матрица (CUDA): первый элемент: 1");
        EXPECT_TRUE(std::regex_match(lines[6],
                                     std::regex("Время выполнения транспонирования \\(Thrust\\): [0-9]+ мс")))
            << lines[6];
        EXPECT_EQ(lines[7], "Транспонированная матрица (Thrust): первый элемент: 1");
    }
}

TEST(Binary, GputunePrintsItsSeventeenLines)
{
    const auto run = run_program(std::string(GPUTUNE_PATH) + " ignored arguments");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 17u) << run.out;
    const std::string copy_header = "=== Бенчмарк копирования памяти ===";
    EXPECT_EQ(lines[0], copy_header);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("H2D normal time: " + g_float + " ms"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("D2H normal time: " + g_float + " ms"))) << lines[2];
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], copy_header);
    EXPECT_TRUE(std::regex_match(lines[5], std::regex("H2D pinned time: " + g_float + " ms"))) << lines[5];
    EXPECT_TRUE(std::regex_match(lines[6], std::regex("D2H pinned time: " + g_float + " ms"))) << lines[6];
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8], "=== Оптимизация векторного сложения ===");
    EXPECT_TRUE(
        std::regex_match(lines[9], std::regex("Оптимальный размер данных: (1048576|6291456) элементов")));
    EXPECT_TRUE(std::regex_match(lines[10],
                                 std::regex("Оптимальный размер блока: (32|64|128|256|512|1024) потоков")));
    EXPECT_TRUE(std::regex_match(lines[11], std::regex("Минимальное время выполнения: " + g_float + " ms")))
        << lines[11];
    EXPECT_EQ(lines[12], "");
    EXPECT_EQ(lines[13], "=== Оптимизация скалярного произведения ===");
    EXPECT_TRUE(
        std::regex_match(lines[14], std::regex("Оптимальный размер данных: (1048576|6291456) элементов")));
    EXPECT_TRUE(std::regex_match(lines[15], std::regex("Оптимальный размер блока: (32|64|128|256) потоков")));
    EXPECT_TRUE(std::regex_match(lines[16], std::regex("Минимальное время выполнения: " + g_float + " ms")))
        << lines[16];
}

// A library's release that throws while a failure unwinds makes the C++ runtime call
// std::terminate; the program still ends with its one line and exit status 1, naming the step,
// and what it printed before stays, the unflushed rest included.
TEST(Binary, AReleaseThatThrowsWhileAFailureUnwindsEndsInOneLine)
{
    const auto in_step = run_program(TERMINATE_PROBE_PATH);
    EXPECT_EQ(in_step.status, 1);
    EXPECT_EQ(in_step.err, "vecmat: dot_product_thrust: CUDA free failed: cudaErrorIllegalAddress: an illegal "
                           "memory access was encountered\n");
    EXPECT_EQ(in_step.out, "a line printed before\nand one not yet flushed");

    const auto outside = run_program(std::string(TERMINATE_PROBE_PATH) + " outside");
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(outside.err, "vecmat: cudaFree: an illegal memory access was encountered\n");
}

}  // namespace
