/* A small module: two exported functions, an exported table, a call into
   another module (left undefined for the loader to bind) and some data. */

extern int host_log(const char *message, int value);

int counter = 3;
const int squares[8] = {0, 1, 4, 9, 16, 25, 36, 49};
static char scratch[256];

int demo_square(int x)
{
    counter++;
    return x >= 0 && x < 8 ? squares[x] : x * x;
}

int demo_run(int n)
{
    int total = 0;
    for (int i = 0; i < n; i++) {
        total += demo_square(i);
        scratch[i & 255] = (char)total;
    }
    host_log("demo total", total);
    return total;
}
