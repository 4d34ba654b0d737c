// vornhald: writes a Subversion dump stream of a remote repository.
int vornhald_main(int argc, char **argv);

int
main(int argc, char **argv) {
  return vornhald_main(argc, argv);
}
