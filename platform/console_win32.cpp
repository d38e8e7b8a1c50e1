// The console on Windows: standard output in the C runtime's text mode,
// every line handed on as soon as it is written.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void ConsoleInit(void)
{
    // Text mode writes each line feed as CR LF. It is the runtime's default;
    // set here so that linking binmode.o cannot change the line endings.
    _setmode(_fileno(stdout), _O_TEXT);
    // The C runtime has no true line buffering (_IOLBF behaves as full
    // buffering), so output to a file or pipe would sit in a 4 KB block and
    // be lost when the service is ended from outside. Unbuffered output
    // still writes each printf call as one piece.
    setvbuf(stdout, NULL, _IONBF, 0);
}
