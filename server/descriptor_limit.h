#pragma once
// The process's limit on open descriptors: every connection holds one, so
// the bounds on connections are taken from it.

// The soft limit now; 0 when it cannot be read or there is none.
int corvid_descriptor_limit();

// Raises the soft limit to the hard one (said when that fails) and returns
// the soft limit then in force.
int corvid_raise_descriptor_limit();
