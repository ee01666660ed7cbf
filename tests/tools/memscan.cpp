// A test helper loaded by the JUnit tests: counts where this process's
// writable memory holds a byte pattern, to prove that secrets do not outlive
// the calls that used them. The pattern arrives masked (every byte XOR the
// key) so that the caller's own copy of it is no match; the scan unmasks
// memory as it reads it. Memory is read through /proc/self/mem, so a page
// that cannot be read is skipped instead of faulting.
#include <jni.h>

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kChunk = 1 << 20;

long count_in(int mem, uint64_t begin, uint64_t end, const std::vector<unsigned char>& masked,
              unsigned char key, std::vector<unsigned char>& chunk) {
  long found = 0;
  size_t n = masked.size();
  // Chunks overlap by the pattern's length, so a match across two is seen.
  for (uint64_t at = begin; at < end;) {
    size_t want = size_t(std::min<uint64_t>(kChunk, end - at));
    ssize_t got = pread(mem, chunk.data(), want, off_t(at));
    if (got <= 0) {
      at += 4096;
      continue;
    }
    for (ssize_t i = 0; i < got; ++i) chunk[size_t(i)] ^= key;
    for (size_t i = 0; i + n <= size_t(got); ++i)
      if (chunk[i] == masked[0] && std::memcmp(&chunk[i], masked.data(), n) == 0) ++found;
    // What was read must not be left here for the next region's scan.
    std::memset(chunk.data(), 0, size_t(got));
    if (size_t(got) < n || at + uint64_t(got) >= end) break;
    at += uint64_t(got) - n + 1;
  }
  return found;
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_quill_MemoryScan_count(JNIEnv* env, jclass, jbyteArray jMasked,
                                                               jint jKey) {
  jsize len = env->GetArrayLength(jMasked);
  if (len <= 0) return -1;
  std::vector<unsigned char> masked(static_cast<size_t>(len));
  env->GetByteArrayRegion(jMasked, 0, len, reinterpret_cast<jbyte*>(masked.data()));
  std::vector<unsigned char> chunk(kChunk);
  FILE* maps = std::fopen("/proc/self/maps", "r");
  int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (!maps || mem < 0) {
    if (maps) std::fclose(maps);
    if (mem >= 0) close(mem);
    return -1;
  }
  long found = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, maps)) {
    uint64_t begin = 0, end = 0;
    char perms[8] = {};
    if (std::sscanf(line, "%" SCNx64 "-%" SCNx64 " %7s", &begin, &end, perms) != 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w') continue;
    // A writable mapping of more than 64 GiB is a reservation, not data: a
    // sanitizer's shadow memory (terabytes) holds no copy of anything.
    if (end - begin > (uint64_t(64) << 30)) continue;
    found += count_in(mem, begin, end, masked, static_cast<unsigned char>(jKey), chunk);
  }
  std::fclose(maps);
  close(mem);
  return found;
}
