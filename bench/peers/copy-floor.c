/* The floor any rewrite stands on: read the message in 64 KB pieces, find every line
 * feed, copy the bytes into a second buffer, write them out.
 *   copy-floor IN OUT
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: copy-floor IN OUT\n");
    return 64;
  }
  int in = open(argv[1], O_RDONLY);
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0) return 66;
  if (out < 0) return 73;
  static char buffer[65536], copy[65536];
  unsigned long lines = 0;
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0) return 74;
    if (n == 0) break;
    for (const char *p = buffer; (p = memchr(p, '\n', (size_t)(buffer + n - p))) != NULL; ++p) lines++;
    memcpy(copy, buffer, (size_t)n);
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, copy + done, (size_t)(n - done));
      if (w < 0) return 74;
      done += w;
    }
  }
  close(out);
  return lines == (unsigned long)-1;
}
