// SPDX-License-Identifier: Apache-2.0
//
// The virtual printer: a job sent over loopback lands in its folder with
// one picture per page and a summary, and SIGTERM ends the printer cleanly.
// Only 127.0.0.1 and ports the system hands out are used; every wait is
// bounded.
//

#include "frames.h"
#include "tool_io.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace inspect;
using namespace inspect_test;

namespace {

constexpr int kWaitMs = 20000;   // longest any step may take

//
// 'send_job()' - Connect to the printer, send a job, close the sending
//                side and wait until the printer closes the connection.
//

bool
send_job(int port, const Bytes &job)
{
  const int          fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};

  addr.sin_family = AF_INET;
  addr.sin_port   = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);

  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)))
    return false;

  std::size_t sent = 0;

  while (sent < job.size())
  {
    const ssize_t n = send(fd, job.data() + sent, job.size() - sent, MSG_NOSIGNAL);

    if (n <= 0)
      break;
    sent += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);

  // Like the socket backend: wait for the printer to close.
  struct pollfd pfd = {fd, POLLIN, 0};
  char          byte;
  const bool    closed = poll(&pfd, 1, kWaitMs) == 1 && recv(fd, &byte, 1, 0) == 0;

  close(fd);
  return sent == job.size() && closed;
}

//
// 'exists()' - Whether a path exists.
//

bool
exists(const std::string &path)
{
  struct stat info;

  return !stat(path.c_str(), &info);
}

} // namespace

// One job in-process: pages drawn, summary written before the close, the
// exit status of --once that of the job.
TEST(Listen, JobOverLoopback)
{
  const std::string dir = temp_dir();
  std::string       error;
  const int         fd = listen_open("127.0.0.1", 0, error);

  ASSERT_GE(fd, 0) << error;
  const int port = listen_port(fd);
  ASSERT_GT(port, 0);

  const Bytes packed = random_page(30, 6, 11);
  Bytes       job    = make_frame(make_stream(30, packed, 6, 1));
  Bytes       bad    = make_frame(make_stream(30, packed, 6, 2));

  bad[bad.size() - 2] ^= 0x10;
  job.insert(job.end(), bad.begin(), bad.end());

  ListenOptions options;
  FILE         *log = tmpfile();

  options.out          = dir + "/jobs";
  options.once         = true;
  options.idle_seconds = 10;
  options.log          = log;

  int        status = -1;
  std::thread printer([&] { status = listen_serve(fd, options); });

  const bool sent = send_job(port, job);
  printer.join();
  close(fd);
  fclose(log);

  EXPECT_TRUE(sent);
  EXPECT_EQ(status, 1);

  const std::string summary = read_file(dir + "/jobs/job-0001/summary.json");

  EXPECT_NE(summary.find("\"job\": 1,"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"peer\": \"127.0.0.1:"), std::string::npos);
  EXPECT_NE(summary.find("\"pages\": 2,"), std::string::npos);
  EXPECT_NE(summary.find("\"sound\": false,"), std::string::npos);
  EXPECT_NE(summary.find("\"input_bytes\": " + std::to_string(job.size())), std::string::npos);
  EXPECT_NE(summary.find("\"picture\": \"page-0002.png\""), std::string::npos);
  EXPECT_NE(summary.find("\"kind\": \"frame-crc\", \"page\": 2"), std::string::npos);
  EXPECT_TRUE(exists(dir + "/jobs/job-0001/page-0001.png"));
  EXPECT_FALSE(exists(dir + "/jobs/job-0001/summary.json.tmp"));

  remove_tree(dir);
}

// The program: reports its port, takes two jobs into two folders, and ends
// with status 0 on SIGTERM.
TEST(Listen, ProgramServesJobsUntilSigterm)
{
  const std::string dir = temp_dir();
  int               out[2];

  ASSERT_EQ(pipe(out), 0);

  const pid_t pid = fork();

  ASSERT_GE(pid, 0);
  if (pid == 0)
  {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(PELNA_INSPECT_PATH, "pelna-inspect", "--listen", "0", "--out",
          (dir + "/jobs").c_str(), "--idle-timeout", "10", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);

  // "listening on 127.0.0.1:PORT, job folders in DIR"
  std::string   line;
  struct pollfd pfd = {out[0], POLLIN, 0};
  char          c;

  while (line.find('\n') == std::string::npos && poll(&pfd, 1, kWaitMs) == 1 &&
         read(out[0], &c, 1) == 1)
    line += c;

  const std::size_t colon = line.find("127.0.0.1:");
  const int         port  = colon == std::string::npos ? 0 : atoi(line.c_str() + colon + 10);

  EXPECT_GT(port, 0) << line;
  if (port > 0)
  {
    const Bytes frame = make_frame(make_stream(8, Bytes{0xAA, 0x55}, 2, 0));

    EXPECT_TRUE(send_job(port, frame));
    EXPECT_TRUE(send_job(port, frame));
  }

  kill(pid, SIGTERM);

  int        status = -1;
  const auto until  = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);

  while (waitpid(pid, &status, WNOHANG) == 0)
  {
    if (std::chrono::steady_clock::now() > until)
    {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the printer did not end on SIGTERM";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(out[0]);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(read_file(dir + "/jobs/job-0001/summary.json").find("\"sound\": true"),
            std::string::npos);
  EXPECT_NE(read_file(dir + "/jobs/job-0002/summary.json").find("\"sound\": true"),
            std::string::npos);
  EXPECT_TRUE(exists(dir + "/jobs/job-0002/page-0001.png"));

  remove_tree(dir);
}
