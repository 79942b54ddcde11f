/* The smallest program to carry a version resource. */
int main(void)
{
    return 0;
}
