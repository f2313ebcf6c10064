// A shared library that loads, but is not the codec module: it lacks the entry.
extern "C" __attribute__((visibility("default"))) int morvastelSomethingElse()
{
    return 0;
}
