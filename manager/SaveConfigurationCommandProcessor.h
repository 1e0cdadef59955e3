// SaveConfigurationCommandProcessor: serves save_configuration by replacing the agent's
// configuration file with the document a client sent, its values turned back from Base64 into
// plain text, and by making the running manager's look-ups answer from the new settings.
//
// The body is "save_configuration", one separator byte of any value, and the XML text up to the
// body's end (or its first zero byte). The file is replaced atomically: its path names either
// the whole old file or the whole new one, whatever happens part-way, and a failed save leaves
// it untouched; it keeps its mode and owner. Runs inside the backup decorator, which copies the
// file to "<path>.bak" first and copies it back when the save fails. A file that rename cannot
// replace (one bind-mounted on its own) is the exception: it is rewritten in place through its
// ready file (replaceFileAtomically), so that a kill part-way leaves the whole new document to be
// finished at the next start, and a failure part-way leaves it to that restore.
//
// A text nested deeper than kMaxXmlNesting elements, whose nodes would take more memory than
// kMaxXmlNodeMemory, or whose attributes would take TinyXML more than
// kMaxXmlAttributeComparisons name comparisons to check, is refused before TinyXML parses it. A
// decoded document that would not read back as it is saved (a value whose bytes TinyXML prints
// in a form it reads differently, such as a UTF-8 lead byte right before an end tag) is not
// written, so the file always loads again. Neither is a body, or a file, larger than the
// 67108864 bytes of which the configuration watch still takes a digest: such a file would stop
// the watch from starting the agent for good.
//
// Memory: the text is parsed where it lies in the payload, whose memory is then given up; the
// file form is printed straight into the temporary file, and the document let go of once it is
// printed. The temporary file is then read back, as the configuration loader reads it, into the
// document that the settings are reloaded from. So a save holds at most one text and one parsed
// document at a time.
//
// Ownership: owns the decoder; neither the factory nor the configuration object is owned, and
// the factory is never used. Threads: one thread (the Listener's); the reload replaces the
// configuration object's table as one snapshot, so other threads' look-ups stay safe.
#ifndef QUILLMARK_MANAGER_SAVECONFIGURATIONCOMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_SAVECONFIGURATIONCOMMANDPROCESSOR_H

#include "CommandProcessor.h"

#include <memory>
#include <string>
#include <vector>

namespace quillmark {

class CommandProcessorFactory;
class ConfigurationFileAccess;
class ValueElementEncoderDecoder;

class SaveConfigurationCommandProcessor : public CommandProcessor {
public:
    // Takes ownership of `decoder`; `factory` (the one that made this processor) and
    // `configuration` are not owned.
    SaveConfigurationCommandProcessor(ValueElementEncoderDecoder* decoder,
                                      CommandProcessorFactory* factory,
                                      ConfigurationFileAccess* configuration);
    ~SaveConfigurationCommandProcessor() override;

    SaveConfigurationCommandProcessor(const SaveConfigurationCommandProcessor&) = delete;
    SaveConfigurationCommandProcessor& operator=(const SaveConfigurationCommandProcessor&) = delete;

    // "SUCCESS" once the file holds the decoded document in TinyXML's indented file form and the
    // settings have been reloaded from it; "FAILURE! The received xml payload is larger than
    // 67108864 bytes." for a larger body (nothing is parsed); "FAILURE! Unable to parse the
    // received xml payload." when the text is empty, not well-formed or nested too deeply;
    // "FAILURE! The received xml payload would take more than 671088640 bytes of memory to
    // parse." and "FAILURE! The received xml payload has too many attributes to parse." for the
    // other two bounds (nothing is parsed); "FAILURE! The configuration xml file would be larger
    // than 67108864 bytes." when the file form would be (the file is unchanged); "FAILURE!
    // Unable to save configuration xml file" when the file could not be replaced (it is then
    // unchanged, or cut short by a failed rewrite in place, beside the ready file of the new
    // document that the restore from the backup supersedes). `payload` is left empty, without
    // memory.
    std::string process(std::vector<char>& payload) override;

private:
    std::string save(std::vector<char>& payload);

    std::unique_ptr<ValueElementEncoderDecoder> decoder_;
    [[maybe_unused]] CommandProcessorFactory* factory_;
    ConfigurationFileAccess* configuration_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_SAVECONFIGURATIONCOMMANDPROCESSOR_H
