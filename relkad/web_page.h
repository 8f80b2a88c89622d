// SPDX-License-Identifier: MIT
// relkad's web page: every box and outlet with its name and state, and on,
// off and cycle buttons. One self-contained page (no outside assets); it
// reads /api/v1/lab every two seconds, so it follows what other clients
// and relkactl switch, and asks before switching anything off.
#ifndef RELKA_RELKAD_WEB_PAGE_H_
#define RELKA_RELKAD_WEB_PAGE_H_

const char* web_page();

#endif  // RELKA_RELKAD_WEB_PAGE_H_
