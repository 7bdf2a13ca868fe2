#pragma once
// A throwaway RSA client certificate made with the openssl command at test time, so that no
// private key is kept in the repository.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace dm::testing {

struct TestCertificate {
    std::string pemFile;      // certificate followed by the private key
    std::string certificate;  // the certificate's PEM alone, as a topology registers it
};

// Writes "<dir>/<name>.pem"; with a password, the key is encrypted with it.
inline TestCertificate makeTestCertificate(const std::filesystem::path& dir,
                                           const std::string& name,
                                           const std::string& password = "") {
    const std::string base = (dir / name).string();
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=" + name +
                          " -keyout '" + base + ".key' -out '" + base + ".crt' 2>/dev/null";
    if (!password.empty()) {
        command += " && openssl pkey -in '" + base + ".key' -aes256 -passout pass:" + password +
                   " -out '" + base + ".enc' 2>/dev/null && mv '" + base + ".enc' '" + base +
                   ".key'";
    }
    command += " && cat '" + base + ".crt' '" + base + ".key' > '" + base + ".pem'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl could not make a test certificate");
    std::ifstream in(base + ".crt");
    std::stringstream pem;
    pem << in.rdbuf();
    return {base + ".pem", pem.str()};
}

}  // namespace dm::testing
