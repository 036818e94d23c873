/* The least a CGI can do: print the error redirect. Linked statically, it
 * measures what starting a process costs on this machine. */
#include <unistd.h>

int main(void) {
  static const char answer[] = "Location: /~ruvak/form_error.html\r\n\r\n";
  return write(1, answer, sizeof answer - 1) == sizeof answer - 1 ? 0 : 1;
}
