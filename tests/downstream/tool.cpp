// The downstream project's program: its exit code tells that it ran.
int main() {
    return 17;
}
