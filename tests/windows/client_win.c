/* A stand-in Windows client: a program whose only feature is its version resource. */
int main(void)
{
    return 0;
}
