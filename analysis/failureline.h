#pragma once

// Writes the load-failure line "失敗" to standard output and flushes it. When
// nobody reads standard output any more, the line is lost and the program
// goes on; a later line is tried again.
void printFailureLine();
