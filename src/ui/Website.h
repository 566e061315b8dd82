#pragma once

#include <QUrl>

// The product website's pages that screens link to. The base address is a
// constant of the build (CMake cache variable VELORIN_WEBSITE_URL, by default
// "https://velorin.example"); each page is a path under it.
namespace Website {

// The base address, without a trailing slash.
QUrl home();
// <base>/terms
QUrl termsOfService();
// <base>/privacy
QUrl privacyPolicy();

// Opens the page in the user's browser; false when the desktop cannot.
bool open(const QUrl &page);

} // namespace Website
