// An i386 program that does nothing: ./lab runs it to learn whether this
// kernel runs i386 programs. Where it does not, execve fails with ENOEXEC.
int main()
{
    return 0;
}
