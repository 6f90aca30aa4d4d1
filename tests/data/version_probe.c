/* A tiny Windows program that carries a version resource. */
int main(void) { return 0; }
