// Shared helpers for tests that run the program's steps on an install job:
// reading back the job's operation log, and a fixture that owns a job on a
// fresh machine.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/control.h>

#include <cstdint>
#include <string>
#include <vector>

#include "job/install_job.h"
#include "sim_test.h"
#include "workflows/job_setup.h"

namespace jobtest {

// The log's lines as written (indentation included); a line counts once its
// line break is written.
inline std::vector<std::u16string> LogLines(const svd::InstallJob& job) {
  std::vector<std::u16string> lines;
  std::u16string log = svd::Text(job.OperationLog);
  size_t start = 0;
  for (size_t end; (end = log.find(u"\r\n", start)) != std::u16string::npos; start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  return lines;
}

inline bool LogHas(const svd::InstallJob& job, const std::u16string& line) {
  for (const std::u16string& l : LogLines(job)) {
    if (l == line) return true;
  }
  return false;
}

// Where the line first stands in the log; SIZE_MAX when it is not there.
inline size_t LogPosition(const svd::InstallJob& job, const std::u16string& line) {
  std::vector<std::u16string> lines = LogLines(job);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  return SIZE_MAX;
}

// Whether the lines stand in the log in this order, each after the one
// before it (other lines may stand between them).
inline ::testing::AssertionResult LogInOrder(const svd::InstallJob& job,
                                             const std::vector<std::u16string>& expected) {
  std::vector<std::u16string> lines = LogLines(job);
  size_t next = 0;
  for (const std::u16string& line : expected) {
    while (next < lines.size() && lines[next] != line) ++next;
    if (next == lines.size()) {
      std::u16string log = svd::Text(job.OperationLog);
      return ::testing::AssertionFailure() << "\"" << std::string(line.begin(), line.end())
                                           << "\" is not in the log after the lines before it:\n"
                                           << std::string(log.begin(), log.end());
    }
    ++next;
  }
  return ::testing::AssertionSuccess();
}

inline bool LogContains(const svd::InstallJob& job, const std::u16string& text) {
  return std::u16string(svd::Text(job.OperationLog)).find(text) != std::u16string::npos;
}

}  // namespace jobtest

// A fresh machine and an install job the test fills in itself; the job is
// destroyed before the machine is reset.
class JobTest : public SimTest {
 protected:
  void TearDown() override {
    svd::DestroyInstallJob(&job_);
    SimTest::TearDown();
  }

  std::vector<std::u16string> LogLines() { return jobtest::LogLines(job_); }
  bool LogHas(const std::u16string& line) { return jobtest::LogHas(job_, line); }
  bool LogContains(const std::u16string& text) { return jobtest::LogContains(job_, text); }

  svd::InstallJob job_{};
};
