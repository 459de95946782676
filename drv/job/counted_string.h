// CountedString: the program's one growable UTF-16 text. A handle that is
// null (the empty text) or points at a heap block laid out as
//   [uint64 length][length units of text][terminator][spare units...]
// whose capacity (terminator included) is length + 1 rounded up to 32 units.
#pragma once
#include "win.h"

namespace svd {

struct CountedStringBlock;
typedef CountedStringBlock* CountedString;

// Sets the length to n (0 frees the block and leaves null). No heap call is
// made when the capacity class does not change. True, unless the heap
// refuses the block: then false, and the string is left as it was.
bool Resize(CountedString& handle, size_t n);
// A new CountedString from text in the system ANSI code page (null for "").
CountedString FromAnsi(LPCSTR text);
// Replaces the contents with a copy of text (null or "" leaves null).
CountedString& Assign(CountedString& handle, LPCWSTR text);
// Adds text (not null) at the end.
CountedString& Append(CountedString& handle, LPCWSTR text);
// A new CountedString with the same text (null for null).
CountedString Copy(CountedString string);
// The text before the last "\" (or, when there is none, the last "/");
// null when there is no separator or it is the first unit.
CountedString DirectoryPart(CountedString string);
// Frees the block and sets the handle to null.
void Release(CountedString& handle);

size_t Length(CountedString string);
LPCWSTR Text(CountedString string);  // shared empty text for null

// A zero-filled GMEM_FIXED copy of text with its terminator; null for null or "".
LPWSTR DuplicateText(LPCWSTR text);

}  // namespace svd
