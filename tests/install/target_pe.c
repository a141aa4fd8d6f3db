/* A program that does nothing; its resources are what the tests rewrite. */
int main(void) { return 0; }
