/* trivial: does nothing. Its peak RSS is what the dynamic loader and the C library cost any
   program on this machine before it does any work of its own. */
int main(void)
{
    return 0;
}
