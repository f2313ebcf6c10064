#include "analysis/failureline.h"

#include "analysis/sigpipeheldback.h"

#include <iostream>

void printFailureLine()
{
    const SigpipeHeldBack heldBack;
    std::cout << "失敗" << std::endl;
    // A failed write leaves the stream failed; the next line should be tried.
    std::cout.clear();
}
