#ifndef MAIN_H
#define MAIN_H

int main(int argc, char **argv);

#endif
