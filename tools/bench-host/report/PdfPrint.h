#pragma once
// Prints an HTML file to PDF with headless Chromium, the browser the
// project's page tests already use.  The browser is BENCH_HOST_CHROMIUM
// when set, else "chromium" on the PATH.
#include <string>

// "" when the PDF was written; else why not, in one line.
std::string PrintPdf(const std::string& html_path, const std::string& pdf_path);
