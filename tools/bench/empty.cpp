// The baseline of the benchmark: a program that only starts and exits, built
// like the Linux executable (same compiler, same runtime libraries), so that
// its instruction count is the cost of process start-up alone.
int main() {
    return 0;
}
