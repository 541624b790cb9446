// Public keys made by ssh-keygen, as its .pub files hold them (comments
// dropped), and blobs of the key types it can't make without a device.
#pragma once

#include <stdint.h>

#include <string>

namespace keys_test {

const std::string kEd25519 =
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAFd3WV6pmz+JAicry8qkA7r/jGYg/Cwvo3oxa+hkLwX";
const std::string kRsa2048 =
    "ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQC1bd3/n7ahUtyqvYVvGwbBKESUYF7cZGQ+g+Pd9+z4el0TJO8TcnKMKAK5i/zPQyPaT1NmXzUa6I8a8v+cbMh0Vm53E1j/VKx+uGZdRBD003bYewEi/hObUsUboJ+8uT9j4qelY5d37jxRoEJj/bw9un5raSsd4YFdVz53gA2QFiHzbY4OeRYpdkKpKTglYbKM8Oe3hYAlRc+Gl4HxABZRCXVmjpjnGdC1OPsib7fNd09Lp9Sl4tSj1Sww/N1sPyhgglaYkezJwWHQv2qYW7kcZAYUzoJf1hoHbGx7teLoDXmfh4aDNkq4fm+ZzA/O+iT8ASb5fVbf2nL7/NC5caZv";
const std::string kEcdsa256 =
    "ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBIRGG5XZ8ewVEJ17pZ7e7SyCAWjOcLNoDXZ3JAb3Kxk9FlQq4i1ceAnkPZVkLR7+ljDl/EDEdnwFpnwgqXWNv6k=";
const std::string kEcdsa384 =
    "ecdsa-sha2-nistp384 AAAAE2VjZHNhLXNoYTItbmlzdHAzODQAAAAIbmlzdHAzODQAAABhBIaXUVfp3ABR+M5MLcO87MNtXANpZcZON0kfuZQLg/MPVSIcqz86D3oz36U+lIpw+3pt4xV3kdgRAWAEU0IeaN2FlIc2yQQTxVsufAyDadaOo8U1N7ooIE/2RPy5vq7PGA==";
const std::string kEcdsa521 =
    "ecdsa-sha2-nistp521 AAAAE2VjZHNhLXNoYTItbmlzdHA1MjEAAAAIbmlzdHA1MjEAAACFBABEy4Shj60J222uUjAUAD3+QwPbarhbmZ42AEpab0nImLX+k2pU8c0F55vi178gDNja1y38DkUNFJzWqvH5QnkNVAE+h65ao8BbJo0g5MvzEzoinZOzM6ee2btSwie4vuFoffpN7LM5H/PcNn/O0dMVyk2rW19WjywhoQwUy88MbyN+GQ==";
const std::string kRsa1024 =
    "ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAAAgQDKwbCv/qxbQbsQbfFgv2YsuJyvYuoisxQrnBTzzG6wR0oGsblRcaoBnMf0yt0swmTUhY5yVQL68fPcWMBm2roYDN7LcieimRF0l2A9In48jxvVEDqKrUXRUl/DbtkcKwvHaq9uteaZSXBHlx7hKVToimonLBRKx0X+eA9G+SubfQ==";

// The wire encoding of a string: its length as big-endian uint32, then it.
inline std::string wire(const std::string &s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                  static_cast<char>(n >> 8), static_cast<char>(n)};
  return out + s;
}

inline std::string base64(const std::string &in) {
  static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += abc[(v >> 18) & 63];
    out += abc[(v >> 12) & 63];
    out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? abc[v & 63] : '=';
  }
  return out;
}

// "TYPE BASE64" of a blob.
inline std::string key_text(const std::string &type, const std::string &blob) {
  return type + " " + base64(blob);
}

}  // namespace keys_test
