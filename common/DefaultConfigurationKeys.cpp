#include "quillmark/DefaultConfigurationKeys.h"

namespace quillmark {

namespace {

const DefaultConfigurationKey::Kind kInteger = DefaultConfigurationKey::Integer;
const DefaultConfigurationKey::Kind kText = DefaultConfigurationKey::Text;

const char* const kJmxDelegateComment = " following seven properties are for Jmx Delegate ";

// The descriptions are the texts every converted file carries, the misspellings and the double
// blank of ManagerDebugLevel included; they are kept byte for byte.
const DefaultConfigurationKey kRows[] = {
    {"AgentImmediateMode", "1", kInteger, 2,
     "Defines wether the agent will forward processed items to server immediately, or "
     "to first store them into a file and later forward them to the server for "
     "processing. Saving them to a file first ensures that they will be processed, "
     "but the processing is delayed. This delay is goverened by AgentStoreCount and "
     "AgentStoreDutaionSeconds properties.",
     nullptr},
    {"AgentServiceName", "quillmark_agentd", kText, 2, "Name of Quillmark Agent service.", nullptr},
    {"AgentServiceStart", "/etc/init.d/quillmark_agentd start", kText, 3,
     "Command to start Quillmark Agent service.", nullptr},
    {"AgentServiceStop", "/etc/init.d/quillmark_agentd stop", kText, 3,
     "Command to stop Quillmark Agent service.", nullptr},
    {"AgentStoreCount", "100", kInteger, 2,
     "Maximum number of messages that will be saved before the messages are sent to "
     "the server for processing.",
     nullptr},
    {"AgentStoreDurationSeconds", "300", kInteger, 2,
     "Maximum number of seconds that will expire before sending the current batch of "
     "messages to the server for processing.",
     nullptr},
    {"DebugLevel", "2", kInteger, 2,
     "Debug level for Quillmark Agent. 0 - none, 1 - critical, 2 - error (default), 3 "
     "- warnings, 4 - info, 5 - debug (max info)",
     nullptr},
    {"DisableActive", "0", kInteger, 2,
     "Agent either actively sends data at determined intervals or waits in passive "
     "mode for the appliance to request data.",
     nullptr},
    {"EnableRemoteCommands", "0", kInteger, 3,
     "Decides whether remote commands for Quillmark Agent are enabled or disabled. "
     "This is a security feature.",
     nullptr},
    {"Hostname", "localhost", kText, 0,
     "Unique hostname. Required for active checks and sentinel checks. For active "
     "checks, this unique host name must be same as the corresponding CI name.",
     nullptr},
    {"JmxDelegateHostName", "127.0.0.1", kText, 0, "Hostname or IP address for JMX delegate.",
     kJmxDelegateComment},
    {"JmxDelegateHostNamePrefix", "-Dhost=", kText, 2,
     "Hostname prefix to use while launching JMX delegate.", nullptr},
    {"JmxDelegatePort", "8046", kInteger, 2, "Port number for JMX delegate.", nullptr},
    {"JmxDelegatePortPrefix", "-Dport=", kText, 2,
     "Port prefix to use while launching JMX delegate.", nullptr},
    {"JmxDelegateCommand", "java", kText, 3, "Command to launch JMX delegate.", nullptr},
    {"JmxDelegateParameters", "-Xms2m -Xmx5m -jar ./modules/jmxdelegate/jar/jmxdelegate.jar", kText,
     3, "Parameters to be used while launching JMX delegate.", nullptr},
    {"JmxDelegateEnabled", "false", kText, 2,
     "Decides whether JMX delegate is enabled or disabled.", nullptr},
    {"ListenIP", "", kText, 0, "IP address to bind Quillmark Agent.", nullptr},
    {"ListenPort", "8042", kInteger, 2, "Listen port for Quillmark Agent.", nullptr},
    {"LocalSocketTimeoutMillisec", "100", kInteger, 2,
     "Duration for local socket timeout in milliseconds.", nullptr},
    {"LogFile", "/opt/quillmark/agent/logs/quillmark_agentd.log", kText, 3,
     "Name of log file for Quillmark Agent.", nullptr},
    {"LogFileSize", "1", kInteger, 2,
     "Size of Quillmark Agent log file in MBytes. Once the file reaches this size, a "
     "backup copy will be created and the log file will rollover.",
     nullptr},
    {"ManagerDebugLevel", "5", kText, 18,
     "Debug level for the Quillmark Agent Manager.  0 - none, 1 - critical, 2 - "
     "error, 3 - warnings, 4 - info, 5 - debug (max info)(default)",
     nullptr},
    {"ManagerInstallationRoot", "/opt/quillmark/agent_manager", kText, 3,
     "Installation root directory for Agent Manager application", nullptr},
    {"ManagerIp", "", kText, 16, "IP address to bind Quillmark Agent Manager.", nullptr},
    {"ManagerLogFile", "/opt/quillmark/agent/logs/quillmark_agent_managerd.log", kText, 19,
     "Log file name for Agent Manager application.", nullptr},
    {"ManagerPidFile", "/opt/quillmark/agent/cache/quillmark_agent_managerd.pid", kText, 19,
     "PID file name for Quillmark Agent Manager.", nullptr},
    {"ManagerPort", "8044", kText, 18, "Port on which Agent Manager application will listen.",
     nullptr},
    {"MQSeriesBinPath", "", kText, 3, "Directory where mqseries binaries are located.", nullptr},
    {"PidFile", "/opt/quillmark/agent/logs/quillmark_agentd.pid", kText, 3,
     "PID file name for Quillmark Agent.", nullptr},
    {"PingPeriod", "120000", kText, 2,
     "Milliseconds period for Quillmark Agent to forward information about itself to "
     "the Server.",
     nullptr},
    {"RefreshActiveChecks", "120", kInteger, 2,
     "How often refresh list of active checks. Duration in Seconds.", nullptr},
    {"RunAsQuillmar", "1", kInteger, 2,
     "CAUTION: The value of this property should be set to 1, please consult with "
     "your system administrator before making any changes to this property.",
     nullptr},
    {"Server", "", kText, 0,
     "List of comma delimited IP addresses of Quillmark servers. First entry is used "
     "for sending active checks.",
     nullptr},
    {"ServerPort", "8043", kInteger, 2, "Server port for sending active checks", nullptr},
    {"SocketTimeoutMillisec", "500", kInteger, 2, "Duration for socket timeout in milliseconds.",
     nullptr},
    {"StartAgents", "15", kInteger, 2,
     "Number of pre-forked instances/threads in Quillmark Agent application.", nullptr},
    {"TempFileLocation", "/opt/quillmark/agent/cache", kText, 3,
     "Location for temporary storage of the store and forward files. The designated "
     "directory MUST exist and have both read and write permissions. Note that proper "
     "slashes must be used as appropriate for the agent operation system.",
     nullptr},
};

}  // namespace

const DefaultConfigurationKey* DefaultConfigurationKeys::rows() { return kRows; }

std::size_t DefaultConfigurationKeys::count() { return sizeof kRows / sizeof kRows[0]; }

}  // namespace quillmark
