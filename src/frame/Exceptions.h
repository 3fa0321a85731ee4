// The library's failures. Code that reports a failure itself shows its message and then
// throws CUserException, so the frames above end it without a second message.
// Thrown by value, caught by reference.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class CException {
public:
    virtual ~CException() = default;
    // A text for the user, if the exception carries one.
    virtual bool GetErrorMessage(std::string& text) const;
    // Shows the exception's own text, or a generic one, in a message box of `type`.
    void ReportError(unsigned type) const;
};

class CUserException : public CException {};
class CMemoryException : public CException {};

class CFileException : public CException {
public:
    CFileException(std::string fileName, int osError) : m_strFileName(std::move(fileName)), m_lOsError(osError) {}
    bool GetErrorMessage(std::string& text) const override;
    std::string m_strFileName;
    int m_lOsError;
};

// The running update was cancelled.
class CFLBException : public CException {};

// The ad server refused a request with a nonzero RESULT.
class CADSException : public CException {
public:
    explicit CADSException(int32_t result) : m_nResult(result) {}
    int32_t m_nResult;
};

[[noreturn]] void AfxThrowUserException();
[[noreturn]] void AfxThrowMemoryException();

// realloc that throws CMemoryException and leaves the old block alone on failure.
void* ReallocOrThrow(void* block, size_t size);

// Raises CFLBException when the running update has been asked to stop.
void CheckCancel();
