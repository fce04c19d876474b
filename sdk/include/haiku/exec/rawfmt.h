// Modes of NewRawDoFmt.
#ifndef HAIKU_EXEC_RAWFMT_H
#define HAIKU_EXEC_RAWFMT_H

// Counting pass: the buffer is a LONG that receives the formatted length (terminator excluded).
#define RAWFMTFUNC_COUNT 2
// Copying pass: the buffer receives the text and its terminator.
#define RAWFMTFUNC_STRING 0

#endif
