// pwd_internal.h - what the files of libpwd share.
#pragma once

/// Frees the attempt table and closes the login file (part of libpwd_exit).
void ipcheck_table_exit();
