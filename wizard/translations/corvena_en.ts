<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>TFileDialogs</name>
    <message>
        <source>浏览文件夹</source>
        <translation>Browse for Folder</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>保存未索引的文件列表</source>
        <translation>Save the List of Files Not Indexed</translation>
    </message>
    <message>
        <source>文本文件 (*.txt)</source>
        <translation>Text files (*.txt)</translation>
    </message>
    <message>
        <source>CSV 文件 (*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
    <message>
        <source>选择总歌库数据库文件</source>
        <translation>Choose the master catalogue file</translation>
    </message>
    <message>
        <source>数据库文件 (*.mdb *.accdb)</source>
        <translation>Database files (*.mdb *.accdb)</translation>
    </message>
    <message>
        <source>所有文件 (*)</source>
        <translation>All files (*)</translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>向导将扫描您所指定文件夹内的所有歌曲文件，根据文件名中的数字编号，逐一获取其歌曲信息；然后，再将这些信息批量添加到您的点歌系统中。</source>
        <translation>The wizard scans every song file in the folder you name, looks up each song by the number in its file name, and then adds the songs to your song-request system in one batch.</translation>
    </message>
    <message>
        <source>请指定需要被索引的歌曲文件的存放位置。</source>
        <translation>Name the folder that holds the song files to index.</translation>
    </message>
    <message>
        <source>歌曲文件夹：</source>
        <translation>&amp;Song folder:</translation>
    </message>
    <message>
        <source>浏览歌曲文件夹</source>
        <translation>Browse for the song folder</translation>
    </message>
    <message>
        <source>仅处理没有歌曲信息的文件，对已经有歌曲信息的文件不做更新。</source>
        <translation>&amp;Only add songs that are missing; leave songs already there as they are.</translation>
    </message>
    <message>
        <source>单击“下一步”继续。</source>
        <translation>Click &quot;Next&quot; to continue.</translation>
    </message>
    <message>
        <source>向导将根据编号在“总歌库”中检索歌曲信息。这需要您指定一个存储有这些歌曲信息的“总库数据库”文件，以便向导从中获取歌曲信息。该文件的文件名通常为“Total.mdb”。</source>
        <translation>The wizard looks each song number up in the master catalogue. Name the master catalogue database file that holds this song information; it is usually called &quot;Total.mdb&quot;.</translation>
    </message>
    <message>
        <source>请指定索引所需的“总歌库数据库”文件。</source>
        <translation>Name the master catalogue database file to index against.</translation>
    </message>
    <message>
        <source>总歌库数据库：</source>
        <translation>&amp;Master file:</translation>
    </message>
    <message>
        <source>浏览总库数据库文件</source>
        <translation>Browse for the master catalogue file</translation>
    </message>
    <message>
        <source>单击“下一步”，开始批量索引歌曲。</source>
        <translation>Click &quot;Next&quot; to start indexing the songs.</translation>
    </message>
    <message>
        <source>    向导正在按照您所指定的文件夹，搜索其中的文件。该过程花费的时间，和您该文件夹下的文件数量有关，请耐心等待。</source>
        <translation>The wizard is collecting the files in the folder you named. This takes longer the more files there are; please wait.</translation>
    </message>
    <message>
        <source>正在......</source>
        <translation>Working......</translation>
    </message>
    <message>
        <source>    “索引歌曲”的过程，需要花费较长的时间。这和您索引的歌曲文件总数有关系。</source>
        <translation>Indexing takes a while, depending on how many song files there are.</translation>
    </message>
    <message>
        <source>    “离线索引歌曲”执行完毕!   点击“完成”，关闭该向导。</source>
        <translation>&quot;Offline song indexing&quot; has finished! Click &quot;Finish&quot; to close the wizard.</translation>
    </message>
    <message>
        <source>  向导 离线索引歌曲</source>
        <translation>Wizard: Offline Song Indexing</translation>
    </message>
    <message>
        <source>指定歌曲文件</source>
        <translation>Song folder</translation>
    </message>
    <message>
        <source>指定总库数据库</source>
        <translation>Master catalogue</translation>
    </message>
    <message>
        <source>搜集文件信息</source>
        <translation>Collecting files</translation>
    </message>
    <message>
        <source>更新歌曲信息</source>
        <translation>Indexing songs</translation>
    </message>
    <message>
        <source>完成索引</source>
        <translation>Finished</translation>
    </message>
    <message>
        <source>  错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>请指定歌曲文件的存放位置!</source>
        <translation>Please name the folder that holds the song files!</translation>
    </message>
    <message>
        <source>指定的路径不存在!</source>
        <translation>The song folder cannot be found!</translation>
    </message>
    <message>
        <source>请指定“总歌库数据库”文件的存放位置!</source>
        <translation>Please name the master catalogue database file!</translation>
    </message>
    <message>
        <source>指定的数据库文件不存在!</source>
        <translation>The database file cannot be found!</translation>
    </message>
    <message>
        <source>无法正确连接歌库数据库“%1”。<byte value="xd"/>请检查数据库文件是否正常。</source>
        <translation>Cannot connect to the song database<byte value="xd"/>&quot;%1&quot;.<byte value="xd"/>Please check that the database file is sound.</translation>
    </message>
    <message>
        <source>无法正确连接总歌库数据库“%1”。<byte value="xd"/>请检查数据库文件是否正常。</source>
        <translation>Cannot connect to the master catalogue database<byte value="xd"/>&quot;%1&quot;.<byte value="xd"/>Please check that the database file is sound.</translation>
    </message>
    <message>
        <source>无法保存向导设置文件“%1”。<byte value="xd"/>%2</source>
        <translation>Cannot save the wizard settings file &quot;%1&quot;.<byte value="xd"/>%2</translation>
    </message>
    <message>
        <source>找到的文件：</source>
        <translation>Files found:</translation>
    </message>
    <message>
        <source>新增的歌曲：</source>
        <translation>New songs:</translation>
    </message>
    <message>
        <source>重写的歌曲：</source>
        <translation>Rewritten:</translation>
    </message>
    <message>
        <source>保留的歌曲：</source>
        <translation>Kept:</translation>
    </message>
    <message>
        <source>没有歌名的歌曲：</source>
        <translation>Without a song name:</translation>
    </message>
    <message>
        <source>总歌库中没有的文件：</source>
        <translation>Not in the master:</translation>
    </message>
    <message>
        <source>近似匹配的文件：</source>
        <translation>Near matches:</translation>
    </message>
    <message>
        <source>写入失败的文件：</source>
        <translation>Failed:</translation>
    </message>
    <message>
        <source>未收集的文件：</source>
        <translation>Not collected:</translation>
    </message>
    <message>
        <source>查看未索引的文件(&amp;V)…</source>
        <translation>&amp;View files not indexed…</translation>
    </message>
    <message>
        <source>歌曲文件夹</source>
        <translation>Song folder</translation>
    </message>
    <message>
        <source>总歌库数据库</source>
        <translation>Master catalogue database</translation>
    </message>
    <message>
        <source>搜索进度</source>
        <translation>Search progress</translation>
    </message>
    <message>
        <source>索引进度</source>
        <translation>Indexing progress</translation>
    </message>
    <message>
        <source>无法从总歌库数据库“%1”读取歌曲信息。<byte value="xd"/>%2</source>
        <translation>Cannot read song information from the master catalogue database &quot;%1&quot;.<byte value="xd"/>%2</translation>
    </message>
    <message>
        <source>数据库出错，索引在第 %1 个文件（共 %2 个）处停止。<byte value="xd"/>%3</source>
        <translation>A database error stopped the indexing at file %1 of %2.<byte value="xd"/>%3</translation>
    </message>
    <message>
        <source>有 %1 个文件未能写入歌曲信息。<byte value="xd"/>第一个错误：%2</source>
        <translation>%1 files could not be written to the song database.<byte value="xd"/>First error: %2</translation>
    </message>
    <message>
        <source>  确认</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>向导任务正在执行，您确实要退出该向导吗？</source>
        <translation>The wizard is still working. Do you really want to quit the wizard?</translation>
    </message>
    <message>
        <source>“%1”：%2</source>
        <translation>&quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>没有这个文件夹</source>
        <translation>no such folder</translation>
    </message>
    <message>
        <source>没有这个文件</source>
        <translation>no such file</translation>
    </message>
    <message>
        <source>没有访问权限</source>
        <translation>permission denied</translation>
    </message>
    <message>
        <source>路径中有一部分不是文件夹</source>
        <translation>a part of the path is not a folder</translation>
    </message>
    <message>
        <source>这是一个文件夹，不是文件</source>
        <translation>it is a folder, not a file</translation>
    </message>
    <message>
        <source>这是一个文件，不是文件夹</source>
        <translation>it is a file, not a folder</translation>
    </message>
    <message>
        <source>这不是普通的文件或文件夹</source>
        <translation>it is neither a regular file nor a folder</translation>
    </message>
    <message>
        <source>无法新建本地歌库“%1”。</source>
        <translation>Cannot make the local song database<byte value="xd"/>&quot;%1&quot;.</translation>
    </message>
    <message>
        <source>该名称来自 %1 中 [DataBase] 的 Local。</source>
        <translation>Named by Local in [DataBase] of %1.</translation>
    </message>
    <message>
        <source>%1 中没有 Local，这是默认的位置。</source>
        <translation>%1 names no Local; this is the default place.</translation>
    </message>
    <message>
        <source>已新建本地歌库：%1</source>
        <translation>Made a new, empty local song database: %1</translation>
    </message>
</context>
<context>
    <name>TMessageBoxes</name>
    <message>
        <source>是(&amp;Y)</source>
        <translation>&amp;Yes</translation>
    </message>
    <message>
        <source>否(&amp;N)</source>
        <translation>&amp;No</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>TSkippedFilesDialog</name>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>原因</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>说明</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>未收集</source>
        <translation>not collected</translation>
    </message>
    <message>
        <source>写入失败</source>
        <translation>failed</translation>
    </message>
    <message>
        <source>近似匹配</source>
        <translation>near match</translation>
    </message>
    <message>
        <source>总歌库中的“%1”：%2</source>
        <translation>&quot;%1&quot; in the master: %2</translation>
    </message>
    <message>
        <source>总歌库中没有此文件名</source>
        <translation>not in the master</translation>
    </message>
    <message>
        <source>未索引的文件</source>
        <translation>Files Not Indexed</translation>
    </message>
    <message>
        <source>共 %1 个文件未写入歌库。</source>
        <translation>%1 files were not written to the song database.</translation>
    </message>
    <message>
        <source>另有 %1 个写入失败的文件未列出。</source>
        <translation>%1 more failed files are not listed.</translation>
    </message>
    <message>
        <source>保存(&amp;S)…</source>
        <translation>&amp;Save…</translation>
    </message>
    <message>
        <source>保存列表</source>
        <translation>Save the list</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>  错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>无法保存文件“%1”。<byte value="xd"/>%2</source>
        <translation>Cannot save the file<byte value="xd"/>&quot;%1&quot;.<byte value="xd"/>%2</translation>
    </message>
    <message>
        <source>总歌库中没有歌名</source>
        <translation>no song name in the master</translation>
    </message>
</context>
<context>
    <name>TWizardForm</name>
    <message>
        <source>向导</source>
        <translation>Wizard</translation>
    </message>
    <message>
        <source>上一步(&amp;B)</source>
        <translation>&lt; &amp;Back</translation>
    </message>
    <message>
        <source>下一步(&amp;N)</source>
        <translation>&amp;Next &gt;</translation>
    </message>
    <message>
        <source>取消(&amp;C)</source>
        <translation>&amp;Cancel</translation>
    </message>
    <message>
        <source>第%1步：%2</source>
        <translation>Step %1: %2</translation>
    </message>
    <message>
        <source>完成(&amp;F)</source>
        <translation>&amp;Finish</translation>
    </message>
    <message>
        <source>您确实要退出该向导吗？</source>
        <translation>Do you really want to quit the wizard?</translation>
    </message>
    <message>
        <source>  确认</source>
        <translation>Confirm</translation>
    </message>
</context>
<context>
    <name>TWorkerStatus</name>
    <message>
        <source>正在初始化,请稍侯...</source>
        <translation>Initializing, please wait...</translation>
    </message>
    <message>
        <source>正在搜索文件...</source>
        <translation>Searching for files...</translation>
    </message>
    <message>
        <source>搜索文件已完成!</source>
        <translation>File search complete!</translation>
    </message>
    <message>
        <source>正在索引歌曲...</source>
        <translation>Indexing songs...</translation>
    </message>
    <message>
        <source>索引歌曲已完成!</source>
        <translation>Song indexing complete!</translation>
    </message>
</context>
</TS>
