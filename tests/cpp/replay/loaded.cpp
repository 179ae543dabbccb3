// References nothing of halcyra's (nor of libtorch's: libc alone, which the
// library does not define): linked with --as-needed, the library must still
// be loaded, since halcyra::halcyra links it with --no-as-needed for the
// operators it registers. Prints whether libhalcyra.so is mapped.
#include <cstdio>
#include <cstring>

int main() {
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return 2;
  char line[4096];
  bool loaded = false;
  while (std::fgets(line, sizeof line, maps))
    if (std::strstr(line, "/libhalcyra.so")) loaded = true;
  std::fclose(maps);
  std::puts(loaded ? "loaded" : "not loaded");
  return loaded ? 0 : 1;
}
