#include "params/url_download.h"

#include <curl/curl.h>

#include <mutex>

#include "params/text_source.h"

namespace qae {

namespace {

struct Download {
  std::string body;
  bool too_large = false;
};

size_t AppendToDownload(char* data, size_t size, size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  const size_t n = size * count;
  if (download->body.size() + n > kMaxTextSourceBytes) {
    download->too_large = true;
    return 0;  // Anything but n aborts the transfer.
  }
  download->body.append(data, n);
  return n;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool DownloadText(const std::string& url, std::string* body, std::string* error) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    if (error) *error = "cannot initialise the internet client";
    return false;
  }
  Download download;
  char curl_error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // An HTTP error page is not a parameter file.
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxTextSourceBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendToDownload);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) {
    if (error) {
      if (download.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
        *error = "download is larger than 16 MiB";
      } else if (curl_error[0] != '\0') {
        *error = curl_error;
      } else {
        *error = curl_easy_strerror(rc);
      }
    }
    return false;
  }
  *body = std::move(download.body);
  return true;
}

}  // namespace qae
