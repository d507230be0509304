#include "test_tpm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "enclave/esys.h"

extern char** environ;

namespace testtpm {
namespace {

bool listens(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

std::string tctiFor(int port) { return "swtpm:host=127.0.0.1,port=" + std::to_string(port); }

std::filesystem::path scratchDir() {
  const char* dir = std::getenv("MORVANE_TEST_TPM_DIR");
  if (dir == nullptr) throw std::runtime_error("MORVANE_TEST_TPM_DIR is not set");
  return dir;
}

Swtpm::Swtpm(int port, const std::filesystem::path& stateDir) : port_(port) {
  std::filesystem::create_directories(stateDir);
  const std::string server = "type=tcp,port=" + std::to_string(port) + ",bindaddr=127.0.0.1";
  const std::string control = "type=tcp,port=" + std::to_string(port + 1) + ",bindaddr=127.0.0.1";
  const std::string state = "dir=" + stateDir.string();
  std::vector<std::string> args = {"swtpm", "socket",  "--tpm2",       "--server",
                                   server,  "--ctrl",  control,        "--tpmstate",
                                   state,   "--flags", "not-need-init"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "swtpm", nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot start swtpm");
  }
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (listens(port)) return;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  throw std::runtime_error("swtpm did not start on port " + std::to_string(port));
}

Swtpm::~Swtpm() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::vector<TPM2_HANDLE> liveHandles(enclave::Tpm& tpm) {
  std::vector<TPM2_HANDLE> handles;
  for (const TPM2_HANDLE first :
       {TPM2_TRANSIENT_FIRST, TPM2_LOADED_SESSION_FIRST, TPM2_ACTIVE_SESSION_FIRST}) {
    TPMI_YES_NO more = TPM2_NO;
    TPMS_CAPABILITY_DATA* raw = nullptr;
    const TSS2_RC rc = tpm.call([&] {
      return Esys_GetCapability(tpm.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                TPM2_CAP_HANDLES, first, TPM2_MAX_CAP_HANDLES, &more, &raw);
    });
    const enclave::esys::Owned<TPMS_CAPABILITY_DATA> data(raw);
    if (rc != TSS2_RC_SUCCESS) throw std::runtime_error("TPM2_GetCapability failed");
    const TPML_HANDLE& list = data->data.handles;
    handles.insert(handles.end(), list.handle, list.handle + list.count);
  }
  return handles;
}

crypto::SecretBytes bytesOf(const crypto::SharedSecret& secret) {
  return {secret.bytes().begin(), secret.bytes().end()};
}

crypto::Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace testtpm
