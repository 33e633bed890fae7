#include "common/TaskFolders.h"

#include <sys/stat.h>

#include "common/ProgramFolder.h"
#include "common/TextUtil.h"

namespace common {

std::string SampleTaskText() {
  // The sample task answers ?, h, /h, -h, a blank or nothing with its help text;
  // any other first argument runs its commands. Lines end in LF: it is a script
  // for /bin/sh.
  return "#!/bin/sh\n"
         "case \"$1\" in\n"
         "  \"?\" | \"h\" | \"/h\" | \"-h\" | \" \" | \"\") AJUDA=1 ;;\n"
         "esac\n"
         "\n"
         "# ------------------------ Inicio dos comandos --------------------------\n"
         "if [ -z \"$AJUDA\" ]; then\n"
         "  echo \"Esta Funcionando !!\"\n"
         "  echo \"Formating your Disk ;-)    (just kidding)\"\n"
         "  ls -l \"$(dirname \"$0\")\"\n"
         "else\n"
         "  echo \"O parametro 'RUN' executa este batch\"\n"
         "  echo \"O parametro '?' exibe esta mensagem\"\n"
         "  echo \".\"\n"
         "  echo \"Este batch tem a finalidade exemplificar a execucao\"\n"
         "  echo \"de comandos remotos atraves do TarvoAgent\"\n"
         "fi\n"
         "\n"
         "echo \"FIM\"\n";
}

void PrepareTaskFolders() {
  for (const char* folder : {"Tasks", "Tasks/Queue", "Tasks/Done"}) {
    const std::string path = ProgramPath(folder);
    if (!FolderExists(path)) mkdir(path.c_str(), 0755);
  }
  const std::string script = ProgramPath("Tasks/hello.sh");
  if (ReplaceFileBytes(script, SampleTaskText())) chmod(script.c_str(), 0755);
}

}  // namespace common
