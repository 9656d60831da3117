#ifndef VARNEX_ARGUMENT_CHECK_H
#define VARNEX_ARGUMENT_CHECK_H

// Whether path is a symbolic link to anything but a directory, which the
// directory step leaves alone.
bool is_link_to_non_directory(const char *path);

// Ends varnex with its message and status 1 when two of the directory
// arguments argv[2] to argv[argc - 1] would have find reach the same files
// (by path, inode or mount), or when one exists but cannot be resolved.
void refuse_overlapping_arguments(int argc, char *argv[]);

#endif
