// Captures what the code under test sends to syslog: for its lifetime,
// messages are also printed to standard error, which goes to a file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

class log_capture {
public:
    log_capture()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
        openlog("unit", LOG_PERROR, LOG_DAEMON);
    }
    ~log_capture()
    {
        closelog();
        dup2(saved_, 2);
        close(saved_);
        std::fclose(file_);
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // The messages so far, without the "unit: " prefix.
    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        std::rewind(file_);
        char line[1024];
        while (std::fgets(line, sizeof line, file_) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            if (text.rfind("unit: ", 0) == 0)
                text.erase(0, 6);
            out.push_back(text);
        }
        std::fseek(file_, 0, SEEK_END);
        return out;
    }

private:
    FILE* file_;
    int saved_;
};
