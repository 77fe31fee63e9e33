<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>BatchesDlg</name>
    <message>
        <source>Import batches</source>
        <translation>导入批次</translation>
    </message>
    <message>
        <source>Batch</source>
        <translation>批次</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>工位</translation>
    </message>
    <message>
        <source>Person</source>
        <translation>人员</translation>
    </message>
    <message>
        <source>Customer</source>
        <translation>客户</translation>
    </message>
    <message>
        <source>Stored</source>
        <translation>存入</translation>
    </message>
    <message>
        <source>Refused</source>
        <translation>拒绝</translation>
    </message>
    <message>
        <source>Unused</source>
        <translation>未使用</translation>
    </message>
    <message>
        <source>Pending</source>
        <translation>待确认</translation>
    </message>
    <message>
        <source>Used</source>
        <translation>已使用</translation>
    </message>
    <message>
        <source>Void</source>
        <translation>作废</translation>
    </message>
    <message>
        <source>Released</source>
        <translation>已释放</translation>
    </message>
    <message>
        <source>Deleted</source>
        <translation>已删除</translation>
    </message>
    <message>
        <source>Reconciles</source>
        <translation>核对</translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>SHA-256</source>
        <translation>SHA-256</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>The import batches could not be read: %1</source>
        <translation>无法读取导入批次：%1</translation>
    </message>
    <message>
        <source>yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>NO: %1 accounted for</source>
        <translation>否：仅有 %1 个有去向</translation>
    </message>
    <message numerus="yes">
        <source>%n import batch(es); every one reconciles.</source>
        <translation>
            <numerusform>%n 个导入批次，全部核对无误。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n import batch(es) do not reconcile.</source>
        <translation>
            <numerusform>%n 个导入批次核对不符。</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>CustomerMng</name>
    <message>
        <source>CustomerMng</source>
        <translation>客户管理</translation>
    </message>
    <message>
        <source>Customer Name</source>
        <translation>客户名称</translation>
    </message>
    <message>
        <source>Customer Describe</source>
        <translation>客户描述</translation>
    </message>
    <message>
        <source>Host Address</source>
        <translation>主机地址</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>端口</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>更新</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>名称</translation>
    </message>
    <message>
        <source>Describe</source>
        <translation>描述</translation>
    </message>
    <message>
        <source>Host address</source>
        <translation>主机地址</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>describe is empty!</source>
        <translation>描述为空！</translation>
    </message>
    <message>
        <source>Label length should not be higher than 12 characters</source>
        <translation>标签长度不能超过12个字符</translation>
    </message>
    <message>
        <source>UMEYE</source>
        <translation>UMEYE</translation>
    </message>
    <message>
        <source>address is empty!</source>
        <translation>地址为空！</translation>
    </message>
    <message>
        <source>Host address can not be higher than 100 characters</source>
        <translation>主机地址不能超过100个字符</translation>
    </message>
    <message>
        <source>Port is empty!</source>
        <translation>端口为空！</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>Update success!</source>
        <translation>更新成功！</translation>
    </message>
    <message>
        <source>Port must be a number from 0 to 65535!</source>
        <translation>端口必须是 0 到 65535 之间的数字！</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The customer could not be saved; nothing was changed.</source>
        <translation>客户信息无法保存，未做任何更改。</translation>
    </message>
    <message>
        <source>Only an administrator may edit customers; nothing was changed.</source>
        <translation>只有管理员可以编辑客户，未做任何更改。</translation>
    </message>
    <message>
        <source>Warn below</source>
        <translation>低于此数时警告</translation>
    </message>
    <message>
        <source>0: never warn</source>
        <translation>0：从不警告</translation>
    </message>
    <message>
        <source>UUID pattern</source>
        <translation>UUID 格式</translation>
    </message>
    <message>
        <source>empty: any value</source>
        <translation>空：任意值</translation>
    </message>
    <message>
        <source>Warn below must be a number of identifiers (0 or empty: never warn).</source>
        <translation>警告阈值必须是标识数量（0 或空：从不警告）。</translation>
    </message>
    <message>
        <source>The UUID pattern is not a valid regular expression: %1 (at character %2).</source>
        <translation>UUID 格式不是有效的正则表达式：%1（第 %2 个字符）。</translation>
    </message>
</context>
<context>
    <name>DeviceMng</name>
    <message>
        <source>DeviceMng</source>
        <translation>设备管理</translation>
    </message>
    <message>
        <source>All</source>
        <translation>全部</translation>
    </message>
    <message>
        <source>Device operation</source>
        <translation>设备操作</translation>
    </message>
    <message>
        <source>Device Type</source>
        <translation>设备类型</translation>
    </message>
    <message>
        <source>Search</source>
        <translation>搜索</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>Match serial</source>
        <translation>匹配序列号</translation>
    </message>
    <message>
        <source>Burning mode</source>
        <translation>烧录模式</translation>
    </message>
    <message>
        <source>Match</source>
        <translation>匹配</translation>
    </message>
    <message>
        <source>Burning</source>
        <translation>烧录</translation>
    </message>
    <message>
        <source>DVR</source>
        <translation>DVR</translation>
    </message>
    <message>
        <source>NVR</source>
        <translation>NVR</translation>
    </message>
    <message>
        <source>IPC</source>
        <translation>IPC</translation>
    </message>
    <message>
        <source>UMEYE</source>
        <translation>UMEYE</translation>
    </message>
    <message>
        <source>Brisvan</source>
        <translation>Brisvan</translation>
    </message>
    <message>
        <source>No.</source>
        <translation>序号</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>类型</translation>
    </message>
    <message>
        <source>SN.</source>
        <translation>设备序列号</translation>
    </message>
    <message>
        <source>IP</source>
        <translation>IP</translation>
    </message>
    <message>
        <source>User Name</source>
        <translation>用户名</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>UUID</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>State</source>
        <translation>状态</translation>
    </message>
    <message>
        <source> </source>
        <translation> </translation>
    </message>
    <message>
        <source>s</source>
        <translation>秒</translation>
    </message>
    <message>
        <source>Ready to burn</source>
        <translation>准备烧录</translation>
    </message>
    <message>
        <source>Burning stopped: the pool could not record that uuid [%2] goes to device [%1], so it was not written. Nothing more is written in this pass.</source>
        <translation>烧录已停止：序列号池无法记录 UUID [%2] 分配给设备 [%1]，因此未写入。本轮不再写入任何设备。</translation>
    </message>
    <message>
        <source>Burning stopped: device [%1] holds uuid [%2], but the pool could not record it as used. It stays pending for this device; the next Burn finishes it. Nothing more is written in this pass.</source>
        <translation>烧录已停止：设备 [%1] 已写入 UUID [%2]，但序列号池无法将其记录为已使用。它仍为该设备的待定状态，下次烧录将完成记录。本轮不再写入任何设备。</translation>
    </message>
    <message>
        <source>Burning stopped: the operation log could not be written. Nothing more is written in this pass.</source>
        <translation>烧录已停止：无法写入操作日志。本轮不再写入任何设备。</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>%1 of %2 devices</source>
        <translation>第 %1 台，共 %2 台设备</translation>
    </message>
    <message>
        <source>The pool could not be read</source>
        <translation>无法读取号码池</translation>
    </message>
    <message>
        <source>Burning stopped: device [%1] holds uuid [%2], but the pool no longer holds it pending for this device (deleted or taken meanwhile), so it could not be recorded as used. Look it up on the Serial page. Nothing more is written in this pass.</source>
        <translation>烧录已停止：设备 [%1] 已写入 uuid [%2]，但号码池中它已不再是该设备的待定号码（期间被删除或被占用），因此无法记录为已使用。请在序列号页面查找它。本次不再写入任何设备。</translation>
    </message>
    <message>
        <source>Burning stopped: the pool could not be read. Nothing more is written in this pass.</source>
        <translation>烧录已停止：无法读取号码池。本次不再写入任何设备。</translation>
    </message>
    <message numerus="yes">
        <source>%n device(s) burnt</source>
        <translation>
            <numerusform>已烧录 %n 台设备</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n write(s) failed: each uuid stays pending for its device, the next Burn tries it again</source>
        <translation>
            <numerusform>%n 次写入失败：每个 uuid 仍为其设备的待定号码，下次烧录时将重试</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n skipped: %1</source>
        <translation>
            <numerusform>跳过 %n 台：%1</numerusform>
        </translation>
    </message>
    <message>
        <source>Nothing was assigned: the pool could not be read.</source>
        <translation>未分配任何号码：无法读取号码池。</translation>
    </message>
    <message>
        <source>Burning refused: the pool cannot promise that what it records survives a crash, so nothing is written.

%1</source>
        <translation>拒绝烧录：号码池无法保证其记录在崩溃后仍然保留，因此不写入任何设备。

%1</translation>
    </message>
    <message>
        <source>Write failed</source>
        <translation>写入失败</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>Rework</source>
        <translation>返工</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Please select a device!</source>
        <translation>请选择设备！</translation>
    </message>
    <message>
        <source>Writes are not verified: this SDK cannot read identifiers back</source>
        <translation>写入未经校验：此 SDK 无法读回标识</translation>
    </message>
    <message>
        <source>On device</source>
        <translation>设备上</translation>
    </message>
    <message>
        <source>The device reports uuid [%1]; the pool records none for it</source>
        <translation>设备报告 uuid [%1]；号池中没有为它记录 uuid</translation>
    </message>
    <message>
        <source>The device reports no uuid; the pool records [%1] for it</source>
        <translation>设备报告没有 uuid；号池为它记录的是 [%1]</translation>
    </message>
    <message>
        <source>The device reports uuid [%1]; the pool records [%2] for it</source>
        <translation>设备报告 uuid [%1]；号池为它记录的是 [%2]</translation>
    </message>
    <message>
        <source>Device disagrees</source>
        <translation>设备与号池不一致</translation>
    </message>
    <message numerus="yes">
        <source>%n written but not confirmed: the device did not report its uuid back, which stays pending for it; the next Burn writes and reads it again</source>
        <translation>
            <numerusform></numerusform>
        </translation>
    </message>
    <message>
        <source>Written, not confirmed</source>
        <translation>已写入，未确认</translation>
    </message>
    <message>
        <source>%1 checked device(s) got no uuid: %2 has %3 unused uuid(s) left.</source>
        <translation>%1 台已勾选的设备未分配到 UUID：%2 只剩 %3 个未使用的 UUID。</translation>
    </message>
    <message>
        <source>Labels waiting: unknown</source>
        <translation>等待打印的标签：数量未知</translation>
    </message>
    <message numerus="yes">
        <source>%n label(s) waiting</source>
        <translation>
            <numerusform>%n 个标签等待打印</numerusform>
        </translation>
    </message>
    <message>
        <source>Stock unknown: %1</source>
        <translation>库存未知：%1</translation>
    </message>
    <message>
        <source>%1: %2 unused, %3 pending, %4 used</source>
        <translation>%1：未使用 %2，待确认 %3，已使用 %4</translation>
    </message>
    <message>
        <source>Low pool: %1 unused left, warning below %2</source>
        <translation>库存不足：剩余 %1 个未使用，警告阈值 %2</translation>
    </message>
    <message>
        <source>Work order</source>
        <translation>工单</translation>
    </message>
    <message>
        <source>Orders</source>
        <translation>工单</translation>
    </message>
    <message>
        <source>No work order</source>
        <translation>无工单</translation>
    </message>
    <message>
        <source>#%1 %2 x %3</source>
        <translation>#%1 %2 × %3</translation>
    </message>
    <message>
        <source>any</source>
        <translation>任意</translation>
    </message>
    <message>
        <source>Order %1 complete: %2 used</source>
        <translation>工单 %1 已完成：已使用 %2</translation>
    </message>
    <message>
        <source>Order %1: %2 used, %3 pending of %4</source>
        <translation>工单 %1：已使用 %2，待确认 %3，共 %4</translation>
    </message>
</context>
<context>
    <name>ExportJob</name>
    <message>
        <source>Export serial number</source>
        <translation>导出序列号</translation>
    </message>
    <message>
        <source>Export %1 serial numbers to %2</source>
        <translation>导出 %1 个序列号到 %2</translation>
    </message>
    <message>
        <source>Export to %1 failed: %2</source>
        <translation>导出到 %1 失败：%2</translation>
    </message>
    <message>
        <source>the log heads could not be written to %1: %2</source>
        <translation>日志链头无法写入 %1：%2</translation>
    </message>
</context>
<context>
    <name>FileDialog</name>
    <message>
        <source>CSV files</source>
        <translation>CSV 文件</translation>
    </message>
    <message>
        <source>Excel workbooks</source>
        <translation>Excel 工作簿</translation>
    </message>
</context>
<context>
    <name>HistoryDlg</name>
    <message>
        <source>History</source>
        <translation>历史</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>工位</translation>
    </message>
    <message>
        <source>Person</source>
        <translation>人员</translation>
    </message>
    <message>
        <source>Event</source>
        <translation>事件</translation>
    </message>
    <message>
        <source>UUID</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>Detail</source>
        <translation>详情</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>The history of %1 could not be read: %2</source>
        <translation>无法读取 %1 的历史：%2</translation>
    </message>
    <message>
        <source>Nothing is known of %1.</source>
        <translation>没有关于 %1 的任何记录。</translation>
    </message>
    <message>
        <source>History of %1</source>
        <translation>%1 的历史</translation>
    </message>
</context>
<context>
    <name>HistoryWords</name>
    <message>
        <source>state</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>imported</source>
        <translation>导入</translation>
    </message>
    <message>
        <source>claimed</source>
        <translation>占用</translation>
    </message>
    <message>
        <source>written</source>
        <translation>已写入</translation>
    </message>
    <message>
        <source>write failed</source>
        <translation>写入失败</translation>
    </message>
    <message>
        <source>confirmed</source>
        <translation>已确认</translation>
    </message>
    <message>
        <source>not confirmed</source>
        <translation>未确认</translation>
    </message>
    <message>
        <source>kept</source>
        <translation>保留</translation>
    </message>
    <message>
        <source>voided</source>
        <translation>作废</translation>
    </message>
    <message>
        <source>released</source>
        <translation>释放</translation>
    </message>
    <message>
        <source>deleted</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>exported</source>
        <translation>导出</translation>
    </message>
    <message>
        <source>label printed</source>
        <translation>已打印标签</translation>
    </message>
    <message>
        <source>recorded</source>
        <translation>已记录</translation>
    </message>
    <message>
        <source>replacement</source>
        <translation>替换</translation>
    </message>
    <message>
        <source>event %1</source>
        <translation>事件 %1</translation>
    </message>
    <message>
        <source>retired</source>
        <translation>已退役</translation>
    </message>
    <message>
        <source>unused</source>
        <translation>未使用</translation>
    </message>
    <message>
        <source>used</source>
        <translation>已使用</translation>
    </message>
    <message>
        <source>pending</source>
        <translation>待定</translation>
    </message>
    <message>
        <source>void</source>
        <translation>作废</translation>
    </message>
    <message>
        <source>state %1</source>
        <translation>状态 %1</translation>
    </message>
    <message>
        <source>%1 now (no event recorded)</source>
        <translation>当前%1（无事件记录）</translation>
    </message>
    <message>
        <source>replaced by %1</source>
        <translation>被 %1 替换</translation>
    </message>
    <message>
        <source>replaced by %1: %2</source>
        <translation>被 %1 替换：%2</translation>
    </message>
    <message>
        <source>in place of %1</source>
        <translation>替换 %1</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <translation>%1（%2）</translation>
    </message>
    <message>
        <source>label reprint asked</source>
        <translation>已申请补打标签</translation>
    </message>
    <message>
        <source>copy %1 on %2</source>
        <translation>第 %1 份，打印机 %2</translation>
    </message>
    <message>
        <source>copy %1 on %2, reprinted: %3</source>
        <translation>第 %1 份，打印机 %2，补打：%3</translation>
    </message>
    <message>
        <source>copy %1: %2</source>
        <translation>第 %1 份：%2</translation>
    </message>
    <message>
        <source>skipped</source>
        <translation>已跳过</translation>
    </message>
    <message>
        <source>pass stopped</source>
        <translation>烧录中止</translation>
    </message>
</context>
<context>
    <name>IdleLock</name>
    <message>
        <source>Lock</source>
        <translation>锁定</translation>
    </message>
    <message>
        <source>Locked after %1 s without input</source>
        <translation>%1 秒无操作后锁定</translation>
    </message>
    <message>
        <source>Unlock</source>
        <translation>解锁</translation>
    </message>
    <message>
        <source>Switch user</source>
        <translation>切换用户</translation>
    </message>
    <message>
        <source>Switch user from %1 to %2</source>
        <translation>切换用户：从 %1 到 %2</translation>
    </message>
</context>
<context>
    <name>ImportJob</name>
    <message>
        <source>Import serail number</source>
        <translation>导入序列号</translation>
    </message>
    <message>
        <source>Import started: %1</source>
        <translation>开始导入：%1</translation>
    </message>
</context>
<context>
    <name>LabelPrinter</name>
    <message>
        <source>cups:QUEUE (a print queue of this computer), zpl://HOST[:PORT] (a ZPL label printer on the network, port 9100 when none is given) or pdf:FOLDER (one PDF file per label)</source>
        <translation>cups:队列（本机的打印队列）、zpl://主机[:端口]（网络上的 ZPL 标签打印机，未写端口时为 9100）或 pdf:文件夹（每个标签一个 PDF 文件）</translation>
    </message>
    <message>
        <source>The label printer at %1 does not answer: %2</source>
        <translation>%1 的标签打印机无应答：%2</translation>
    </message>
    <message>
        <source>no connection within %1 s</source>
        <translation>%1 秒内未能连接</translation>
    </message>
    <message>
        <source>it took only part of the label (%1)</source>
        <translation>它只接收了标签的一部分（%1）</translation>
    </message>
    <message>
        <source>it cut the connection before taking the whole label (%1)</source>
        <translation>它在接收完整标签之前断开了连接（%1）</translation>
    </message>
    <message>
        <source>it did not take the whole label within %1 s</source>
        <translation>它在 %1 秒内未接收完整标签</translation>
    </message>
    <message>
        <source>The label folder %1 does not exist and cannot be made.</source>
        <translation>标签文件夹 %1 不存在，也无法创建。</translation>
    </message>
    <message>
        <source>There is no print queue &quot;%1&quot; on this computer.</source>
        <translation>本机没有打印队列“%1”。</translation>
    </message>
    <message>
        <source>The print queue &quot;%1&quot; takes no page of %2 × %3 mm.</source>
        <translation>打印队列“%1”不接受 %2 × %3 毫米的纸张。</translation>
    </message>
    <message>
        <source>The print queue &quot;%1&quot; did not take the label.</source>
        <translation>打印队列“%1”未接收此标签。</translation>
    </message>
    <message>
        <source>The print queue &quot;%1&quot; did not take the label: %2</source>
        <translation>打印队列“%1”未接收此标签：%2</translation>
    </message>
    <message>
        <source>Label printer &quot;%1&quot;: %2. Write %3.</source>
        <translation>标签打印机“%1”：%2。请写成 %3。</translation>
    </message>
    <message>
        <source>no print queue is named</source>
        <translation>未指定打印队列</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a host with a port from 1 to 65535</source>
        <translation>“%1”不是带 1 到 65535 端口的主机</translation>
    </message>
    <message>
        <source>no folder is named</source>
        <translation>未指定文件夹</translation>
    </message>
    <message>
        <source>not a kind of printer this program knows</source>
        <translation>不是本程序支持的打印机类型</translation>
    </message>
</context>
<context>
    <name>LabelRender</name>
    <message>
        <source>The label could not be written to %1: %2</source>
        <translation>无法将标签写入 %1：%2</translation>
    </message>
    <message>
        <source>Label template, line %1: the QR of this identifier needs %2 modules, too many for a side of %3 mm.</source>
        <translation>标签模板第 %1 行：此 UUID 的二维码需要 %2 个模块，边长 %3 毫米放不下。</translation>
    </message>
</context>
<context>
    <name>LabelTemplate</name>
    <message>
        <source>Label template, line %1: %2</source>
        <translation>标签模板第 %1 行：%2</translation>
    </message>
    <message>
        <source>a text item needs x, y, width (mm), size (pt) and its text.</source>
        <translation>文本项需要 x、y、宽度（毫米）、字号（磅）和文本。</translation>
    </message>
    <message>
        <source>size needs the width and the height in mm.</source>
        <translation>size 需要宽度和高度（毫米）。</translation>
    </message>
    <message>
        <source>a QR item needs x, y and its side in mm.</source>
        <translation>二维码项需要 x、y 和边长（毫米）。</translation>
    </message>
    <message>
        <source>unknown item &quot;%1&quot; (size, qr or text).</source>
        <translation>未知项“%1”（应为 size、qr 或 text）。</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a size in mm or pt.</source>
        <translation>“%1”不是有效的毫米或磅数值。</translation>
    </message>
    <message>
        <source>the label needs a width and a height above 0.</source>
        <translation>标签的宽度和高度必须大于 0。</translation>
    </message>
    <message>
        <source>the item needs a width above 0.</source>
        <translation>该项的宽度必须大于 0。</translation>
    </message>
    <message>
        <source>the text needs a size of at least 1 pt.</source>
        <translation>文本字号至少为 1 磅。</translation>
    </message>
    <message>
        <source>unknown placeholder {%1}.</source>
        <translation>未知占位符 {%1}。</translation>
    </message>
    <message>
        <source>a brace without its placeholder.</source>
        <translation>花括号没有对应的占位符。</translation>
    </message>
    <message>
        <source>Label template, line %1: the item lies outside the %2 × %3 mm label.</source>
        <translation>标签模板第 %1 行：该项超出了 %2 × %3 毫米的标签。</translation>
    </message>
    <message>
        <source>The label template %1 could not be read: %2</source>
        <translation>无法读取标签模板 %1：%2</translation>
    </message>
</context>
<context>
    <name>Loading</name>
    <message>
        <source>Loading</source>
        <translation>加载中</translation>
    </message>
    <message>
        <source>Waiting...</source>
        <translation>请稍候...</translation>
    </message>
</context>
<context>
    <name>Log</name>
    <message>
        <source>Log</source>
        <translation>日志</translation>
    </message>
    <message>
        <source>TextLabel</source>
        <translation>文本标签</translation>
    </message>
    <message>
        <source>First</source>
        <translation>首页</translation>
    </message>
    <message>
        <source>Prev</source>
        <translation>上一页</translation>
    </message>
    <message>
        <source>Next</source>
        <translation>下一页</translation>
    </message>
    <message>
        <source>Last</source>
        <translation>尾页</translation>
    </message>
    <message>
        <source>LogType</source>
        <translation>日志类型</translation>
    </message>
    <message>
        <source>LogDescribe</source>
        <translation>日志描述</translation>
    </message>
    <message>
        <source>LogDate</source>
        <translation>日志时间</translation>
    </message>
    <message>
        <source>A total of %1 logs, %2 pages, the current %3 page</source>
        <translation>共 %1 条日志，%2 页，当前第 %3 页</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>工位</translation>
    </message>
    <message>
        <source>Person</source>
        <translation>人员</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The operation log could not be read from the pool:

%1</source>
        <translation>无法从数据库读取操作日志：

%1</translation>
    </message>
</context>
<context>
    <name>Login</name>
    <message>
        <source>Login</source>
        <translation>登录</translation>
    </message>
    <message>
        <source>Login Name</source>
        <translation>登录名</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Login name is empty!</source>
        <translation>登录名为空！</translation>
    </message>
    <message>
        <source>Login name or password is error!</source>
        <translation>登录名或密码错误！</translation>
    </message>
    <message>
        <source>Login locked</source>
        <translation>登录锁定</translation>
    </message>
    <message>
        <source>%1 failed logins in a row for %2: the next try waits %3 s</source>
        <translation>%2 连续 %1 次登录失败：下次尝试需等待 %3 秒</translation>
    </message>
    <message>
        <source>Too many failed logins for this name. Try again in %1 s.</source>
        <translation>此用户名登录失败次数过多。请 %1 秒后再试。</translation>
    </message>
    <message>
        <source>This account is disabled. An administrator can enable it again.</source>
        <translation>此帐户已停用。管理员可以重新启用。</translation>
    </message>
    <message>
        <source>The login could not be checked: %1</source>
        <translation>无法校验登录：%1</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>The account admin still has the password it was delivered with, which anyone can look up. Log in as admin and change it under Password.</source>
        <translation>帐户 admin 仍使用出厂密码，任何人都能查到。请以 admin 登录并在“密码”中修改。</translation>
    </message>
    <message>
        <source>The login could not be logged: %1</source>
        <translation>无法记录登录：%1</translation>
    </message>
</context>
<context>
    <name>People</name>
    <message>
        <source>Users</source>
        <translation>用户</translation>
    </message>
    <message>
        <source>Operator</source>
        <translation>操作员</translation>
    </message>
    <message>
        <source>Supervisor</source>
        <translation>主管</translation>
    </message>
    <message>
        <source>Administrator</source>
        <translation>管理员</translation>
    </message>
    <message>
        <source>Added %1 as %2</source>
        <translation>已添加 %1，角色为 %2</translation>
    </message>
    <message>
        <source>Disabled %1</source>
        <translation>已停用 %1</translation>
    </message>
    <message>
        <source>Enabled %1</source>
        <translation>已启用 %1</translation>
    </message>
    <message>
        <source>Set the role of %1 to %2</source>
        <translation>已将 %1 的角色设为 %2</translation>
    </message>
    <message>
        <source>Set a new password for %1</source>
        <translation>已为 %1 设置新密码</translation>
    </message>
</context>
<context>
    <name>QFileDialog</name>
    <message>
        <source>Look in:</source>
        <translation>查找范围：</translation>
    </message>
    <message>
        <source>File &amp;name:</source>
        <translation>文件名(&amp;N)：</translation>
    </message>
    <message>
        <source>Files of type:</source>
        <translation>文件类型：</translation>
    </message>
    <message>
        <source>&amp;Open</source>
        <translation>打开(&amp;O)</translation>
    </message>
    <message>
        <source>&amp;Save</source>
        <translation>保存(&amp;S)</translation>
    </message>
</context>
<context>
    <name>QFileSystemModel</name>
    <message>
        <source>Name</source>
        <translation>名称</translation>
    </message>
    <message>
        <source>Date Modified</source>
        <translation>修改日期</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Brisvan</source>
        <translation>Brisvan</translation>
    </message>
    <message>
        <source>Has been burning</source>
        <translation>已烧录</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>&amp;Yes</source>
        <translation>是(&amp;Y)</translation>
    </message>
    <message>
        <source>&amp;No</source>
        <translation>否(&amp;N)</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
</context>
<context>
    <name>QrCode</name>
    <message>
        <source>There is no identifier for the QR code.</source>
        <translation>没有可生成二维码的 UUID。</translation>
    </message>
    <message>
        <source>The identifier is too long for a QR code (%1 bytes).</source>
        <translation>UUID 太长，无法生成二维码（%1 字节）。</translation>
    </message>
    <message>
        <source>The QR code could not be made.</source>
        <translation>无法生成二维码。</translation>
    </message>
</context>
<context>
    <name>ReportPage</name>
    <message>
        <source>Report</source>
        <translation>报表</translation>
    </message>
    <message>
        <source>Period</source>
        <translation>时段</translation>
    </message>
    <message>
        <source>Date</source>
        <translation>日期</translation>
    </message>
    <message>
        <source>To</source>
        <translation>至</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>导出</translation>
    </message>
    <message>
        <source>Throughput</source>
        <translation>产量</translation>
    </message>
    <message>
        <source>Yield</source>
        <translation>良率</translation>
    </message>
    <message>
        <source>Failures</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Stock</source>
        <translation>库存</translation>
    </message>
    <message>
        <source>Day</source>
        <translation>日</translation>
    </message>
    <message>
        <source>Shift %1:00-%2:00</source>
        <translation>班次 %1:00-%2:00</translation>
    </message>
    <message>
        <source>Range</source>
        <translation>日期范围</translation>
    </message>
    <message>
        <source>From</source>
        <translation>从</translation>
    </message>
    <message>
        <source>The range ends before it starts: choose a To date on or after the From date.</source>
        <translation>范围的结束早于开始：请选择不早于起始日期的结束日期。</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The report could not be read from the pool:

%1</source>
        <translation>无法从号池读取报表：

%1</translation>
    </message>
    <message>
        <source>%1 to %2</source>
        <translation>%1 至 %2</translation>
    </message>
    <message>
        <source>%1: %2 devices confirmed, none written.</source>
        <translation>%1：已确认 %2 台设备，没有写入。</translation>
    </message>
    <message>
        <source>%1: %2 devices confirmed, %3 written, first-pass yield %4 %</source>
        <translation>%1：已确认 %2 台设备，写入 %3 台，一次通过率 %4 %</translation>
    </message>
    <message>
        <source>No data for this period</source>
        <translation>此时段没有数据</translation>
    </message>
    <message>
        <source>Devices</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>UUIDs</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>Export report</source>
        <translation>导出报表</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>The report of %1 to %2 was exported to %3.</source>
        <translation>%1 至 %2 的报表已导出到 %3。</translation>
    </message>
    <message>
        <source>The report could not be exported to %1: %2
Nothing was written under that name.</source>
        <translation>报表无法导出到 %1：%2
该文件名下没有写入任何内容。</translation>
    </message>
</context>
<context>
    <name>ReprintLabelDlg</name>
    <message>
        <source>Reprint label</source>
        <translation>补打标签</translation>
    </message>
    <message>
        <source>UUID</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>Label</source>
        <translation>标签</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>原因</translation>
    </message>
    <message>
        <source>Why another copy is needed (torn, smudged...)</source>
        <translation>为何需要再打一份（破损、污损……）</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>None yet</source>
        <translation>尚无</translation>
    </message>
    <message>
        <source>Reprint label uuid [%1] copy %2: %3</source>
        <translation>补打标签 uuid [%1] 第 %2 份：%3</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Copy %1 of the label of %2 waits for this station&apos;s label printer, and this station has none set in tarnwell.ini.</source>
        <translation>%2 的标签第 %1 份等待本工位的标签打印机，但本工位的 tarnwell.ini 未设置打印机。</translation>
    </message>
    <message>
        <source>Please say why the label is printed again.</source>
        <translation>请说明补打标签的原因。</translation>
    </message>
    <message>
        <source>Only a supervisor or an administrator may reprint labels.</source>
        <translation>只有主管或管理员可以补打标签。</translation>
    </message>
    <message>
        <source>%1 is not in a confirmed device, so it has no label to print again.</source>
        <translation>%1 未确认写入设备，没有可补打的标签。</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The reprint could not be written, so no label will be printed:

%1</source>
        <translation>补打记录无法写入，不会打印标签：

%1</translation>
    </message>
</context>
<context>
    <name>ReworkDlg</name>
    <message>
        <source>Rework</source>
        <translation>返工</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>The device reports</source>
        <translation>设备报告</translation>
    </message>
    <message>
        <source>The pool records</source>
        <translation>号池记录</translation>
    </message>
    <message>
        <source>Action</source>
        <translation>操作</translation>
    </message>
    <message>
        <source>Keep the identifier the device holds</source>
        <translation>保留设备中的UUID</translation>
    </message>
    <message>
        <source>Replace it with a new identifier</source>
        <translation>换用新的UUID</translation>
    </message>
    <message>
        <source>Release the pending identifier</source>
        <translation>释放待定的UUID</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>原因</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>%1 %2 at %3</source>
        <translation>%1 %2，地址 %3</translation>
    </message>
    <message>
        <source>no identifier</source>
        <translation>无UUID</translation>
    </message>
    <message>
        <source>no answer</source>
        <translation>无应答</translation>
    </message>
    <message>
        <source>cannot be read with this SDK</source>
        <translation>此SDK无法读取</translation>
    </message>
    <message>
        <source>the pool could not be read: %1</source>
        <translation>无法读取号池：%1</translation>
    </message>
    <message>
        <source>%1 (used)</source>
        <translation>%1（已使用）</translation>
    </message>
    <message>
        <source>%1 (pending)</source>
        <translation>%1（待定）</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Please enter the reason for the rework!</source>
        <translation>请输入返工原因！</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>%1 is recorded used for the device.</source>
        <translation>%1 已记录为该设备已使用。</translation>
    </message>
    <message>
        <source>%1 is void; the device now holds %2.</source>
        <translation>%1 已作废；设备现在持有 %2。</translation>
    </message>
    <message>
        <source>%1 is released and will be offered again.</source>
        <translation>%1 已释放，将再次分配。</translation>
    </message>
    <message>
        <source>%1 was already recorded used for the device; nothing changed.</source>
        <translation>%1 已记录为该设备已使用；未做更改。</translation>
    </message>
    <message>
        <source>Only a supervisor may rework a device.</source>
        <translation>只有主管可以返工设备。</translation>
    </message>
    <message>
        <source>The device did not answer when read back; nothing was changed.</source>
        <translation>回读时设备无应答；未做更改。</translation>
    </message>
    <message>
        <source>This SDK cannot read identifiers back; only a replacement is possible.</source>
        <translation>此SDK无法回读UUID；只能更换。</translation>
    </message>
    <message>
        <source>The pool records no used or pending identifier for the device; nothing was changed.</source>
        <translation>号池中没有该设备已使用或待定的UUID；未做更改。</translation>
    </message>
    <message>
        <source>The device reports %1, not %2; nothing was changed.</source>
        <translation>设备报告 %1，而不是 %2；未做更改。</translation>
    </message>
    <message>
        <source>The device still reports %1; it cannot be released.</source>
        <translation>设备仍报告 %1；无法释放。</translation>
    </message>
    <message>
        <source>%1 is used, not pending; only a pending identifier can be released.</source>
        <translation>%1 已使用，不是待定；只能释放待定的UUID。</translation>
    </message>
    <message>
        <source>The customer has no unused identifier left; nothing was changed.</source>
        <translation>该客户没有剩余未使用的UUID；未做更改。</translation>
    </message>
    <message>
        <source>The pool could not be changed; nothing was changed.

%1</source>
        <translation>无法修改号池；未做更改。

%1</translation>
    </message>
    <message>
        <source>%1 is void and %2 is recorded pending for the device, but it was not burnt: the next Burn of the device writes it again.</source>
        <translation>%1 已作废，%2 已记录为该设备待定，但未烧录成功：下次烧录该设备时会重新写入。</translation>
    </message>
</context>
<context>
    <name>Serial</name>
    <message>
        <source>Serial</source>
        <translation>序列号</translation>
    </message>
    <message>
        <source>Query criteria</source>
        <translation>查询条件</translation>
    </message>
    <message>
        <source>Usage</source>
        <translation>使用状态</translation>
    </message>
    <message>
        <source>All</source>
        <translation>全部</translation>
    </message>
    <message>
        <source>Not used</source>
        <translation>未使用</translation>
    </message>
    <message>
        <source>Has been used</source>
        <translation>已使用</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>类型</translation>
    </message>
    <message>
        <source>DVR</source>
        <translation>DVR</translation>
    </message>
    <message>
        <source>NVR</source>
        <translation>NVR</translation>
    </message>
    <message>
        <source>IPC</source>
        <translation>IPC</translation>
    </message>
    <message>
        <source>Customer</source>
        <translation>客户</translation>
    </message>
    <message>
        <source>UMEYE</source>
        <translation>UMEYE</translation>
    </message>
    <message>
        <source>Brisvan</source>
        <translation>Brisvan</translation>
    </message>
    <message>
        <source>Search</source>
        <translation>搜索</translation>
    </message>
    <message>
        <source>No.</source>
        <translation>序号</translation>
    </message>
    <message>
        <source>UUID</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>Is used</source>
        <translation>是否使用</translation>
    </message>
    <message>
        <source>SN.</source>
        <translation>设备序列号</translation>
    </message>
    <message>
        <source>IP</source>
        <translation>IP</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>N page, the current page M</source>
        <translation>共 N 页，当前第 M 页</translation>
    </message>
    <message>
        <source>First</source>
        <translation>首页</translation>
    </message>
    <message>
        <source>Prev</source>
        <translation>上一页</translation>
    </message>
    <message>
        <source>Next</source>
        <translation>下一页</translation>
    </message>
    <message>
        <source>Last</source>
        <translation>尾页</translation>
    </message>
    <message>
        <source>Import SN.</source>
        <translation>导入序列号</translation>
    </message>
    <message>
        <source>File path</source>
        <translation>文件路径</translation>
    </message>
    <message>
        <source>Choose</source>
        <translation>选择</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>导入</translation>
    </message>
    <message>
        <source>YES</source>
        <translation>是</translation>
    </message>
    <message>
        <source>NO</source>
        <translation>否</translation>
    </message>
    <message>
        <source>A total of %1 serial number, %2 pages, the current %3 page</source>
        <translation>共 %1 个序列号，%2 页，当前第 %3 页</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Please select serial number!</source>
        <translation>请选择序列号！</translation>
    </message>
    <message>
        <source>question</source>
        <translation>询问</translation>
    </message>
    <message>
        <source>Whether to delete!</source>
        <translation>是否删除！</translation>
    </message>
    <message>
        <source>After deleting the data can not be restored, 
 may cause serious consequences, whether or not to delete the serial number</source>
        <translation>删除后数据无法恢复，
 可能造成严重后果，是否删除序列号</translation>
    </message>
    <message>
        <source>Delete serail number</source>
        <translation>删除序列号</translation>
    </message>
    <message>
        <source>Delete serail number </source>
        <translation>删除序列号 </translation>
    </message>
    <message>
        <source>%1 values read</source>
        <translation>已读取 %1 个值</translation>
    </message>
    <message>
        <source>The file is larger than %1 MiB and was not imported.</source>
        <translation>文件大于 %1 MiB，未导入。</translation>
    </message>
    <message>
        <source>The file declares entities and was not imported.</source>
        <translation>文件声明了实体，未导入。</translation>
    </message>
    <message>
        <source>The file nests elements deeper than %1 levels and was not imported.</source>
        <translation>文件元素嵌套超过 %1 层，未导入。</translation>
    </message>
    <message>
        <source>The file holds a text longer than %1 characters and was not imported.</source>
        <translation>文件包含超过 %1 个字符的文本，未导入。</translation>
    </message>
    <message>
        <source>The file holds more than %1 elements and texts and was not imported.</source>
        <translation>文件包含超过 %1 个元素和文本，未导入。</translation>
    </message>
    <message>
        <source>The file is not valid UTF-8 and was not imported.</source>
        <translation>文件不是有效的 UTF-8 编码，未导入。</translation>
    </message>
    <message>
        <source>title</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>open error!</source>
        <translation>打开错误！</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>EXCEL lose</source>
        <translation>EXCEL 读取失败</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>打开</translation>
    </message>
    <message>
        <source>Files</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>Please enter a query path!</source>
        <translation>请输入文件路径！</translation>
    </message>
    <message>
        <source>Import completed, import successful </source>
        <translation>导入完成，成功导入 </translation>
    </message>
    <message>
        <source>, failed </source>
        <translation>，失败 </translation>
    </message>
    <message>
        <source>Pending</source>
        <translation>待定</translation>
    </message>
    <message>
        <source>The operation log could not be written, so %1 and the serial numbers after it were not deleted.</source>
        <translation>无法写入操作日志，因此 %1 及其后的序列号未被删除。</translation>
    </message>
    <message>
        <source>%1 could not be deleted; the serial numbers after it were not deleted either.</source>
        <translation>%1 无法删除；其后的序列号也未被删除。</translation>
    </message>
    <message>
        <source>Write every serial number of the current search to a CSV or XLSX file</source>
        <translation>将当前查询的全部序列号写入 CSV 或 XLSX 文件</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>导出</translation>
    </message>
    <message>
        <source>%1 of %2 rows written</source>
        <translation>已写入 %1 / %2 行</translation>
    </message>
    <message>
        <source>The export could not be logged: %1</source>
        <translation>导出未能记入日志：%1</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>%1 serial numbers were exported to %2.</source>
        <translation>已导出 %1 个序列号到 %2。</translation>
    </message>
    <message>
        <source>The export to %1 failed: %2
Nothing was written under that name.</source>
        <translation>导出到 %1 失败：%2
该文件名下未写入任何内容。</translation>
    </message>
    <message>
        <source>The file is neither UTF-8 nor UTF-16 text with a byte order mark and was not imported.</source>
        <translation>文件既不是 UTF-8 文本，也不是带字节顺序标记的 UTF-16 文本，未导入。</translation>
    </message>
    <message>
        <source>The quoted field that begins on line %1 is never closed; the file was not imported.</source>
        <translation>第 %1 行开始的引号字段没有结束，文件未导入。</translation>
    </message>
    <message>
        <source>Line %1 holds a quote outside a quoted field; the file was not imported.</source>
        <translation>第 %1 行在引号字段之外含有引号，文件未导入。</translation>
    </message>
    <message>
        <source>Line %1 is longer than %2 characters; the file was not imported.</source>
        <translation>第 %1 行超过 %2 个字符，文件未导入。</translation>
    </message>
    <message>
        <source>%1 values were stored before the error.</source>
        <translation>出错前已保存 %1 个值。</translation>
    </message>
    <message>
        <source>The import could not be logged: %1</source>
        <translation>导入未能记入日志：%1</translation>
    </message>
    <message>
        <source>The store could not write: %1</source>
        <translation>数据库无法写入：%1</translation>
    </message>
    <message>
        <source>%1 of the checked serial numbers have been burnt into devices. The devices keep them; the pool keeps them on record as retired and never issues them again, and they no longer count among the used ones. Delete them?</source>
        <translation>所选序列号中有 %1 个已烧录到设备中。设备仍保留它们；号池将其作为已退役记录在案，永不再发放，且不再计入已使用数。确定删除吗？</translation>
    </message>
    <message>
        <source>Already in the pool, not stored again: %1 used, %2 pending, %3 retired, %4 unused.</source>
        <translation>号池中已有，未再次存入：已使用 %1 个，待定 %2 个，已退役 %3 个，未使用 %4 个。</translation>
    </message>
    <message numerus="yes">
        <source>%n came in as used or pending, with their devices.</source>
        <translation>
            <numerusform>%n 个以已使用或待烧录状态连同其设备导入。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n were already in the pool for the same device.</source>
        <translation>
            <numerusform>%n 个已在库中且属于同一设备。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n refused: this pool has no customer of the name given.</source>
        <translation>
            <numerusform>%n 个被拒绝：本库没有该名称的客户。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n refused: used or pending here for another device.</source>
        <translation>
            <numerusform>%n 个被拒绝：在本库中已为另一设备使用或待烧录。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n refused: retired here.</source>
        <translation>
            <numerusform>%n 个被拒绝：在本库中已停用。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n refused: the device already holds another identifier here.</source>
        <translation>
            <numerusform>%n 个被拒绝：该设备在本库中已有另一个标识。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n refused: the Is used text is not a state.</source>
        <translation>
            <numerusform>%n 个被拒绝：“是否使用”一栏的文字不是已知状态。</numerusform>
        </translation>
    </message>
    <message>
        <source>The serial numbers could not be read from the pool:

%1</source>
        <translation>无法从数据库读取序列号：

%1</translation>
    </message>
    <message>
        <source>Only a supervisor or an administrator may delete serial numbers.</source>
        <translation>只有主管或管理员可以删除序列号。</translation>
    </message>
    <message>
        <source>Only an administrator may import serial numbers.</source>
        <translation>只有管理员可以导入序列号。</translation>
    </message>
    <message>
        <source>History</source>
        <translation>历史</translation>
    </message>
    <message>
        <source>Void</source>
        <translation>作废</translation>
    </message>
    <message>
        <source>Released</source>
        <translation>已释放</translation>
    </message>
    <message>
        <source>The store could not answer: %1</source>
        <translation>数据库无法应答：%1</translation>
    </message>
    <message>
        <source>This file was already imported on %1 at station %2 by %3 (%4 stored, %5 refused).</source>
        <translation>此文件已于 %1 在工位 %2 由 %3 导入（存入 %4 个，拒绝 %5 个）。</translation>
    </message>
    <message>
        <source>nobody signed in</source>
        <translation>无人登录</translation>
    </message>
    <message>
        <source>Import it again?</source>
        <translation>是否再次导入？</translation>
    </message>
    <message>
        <source>Label</source>
        <translation>标签</translation>
    </message>
    <message>
        <source>Print another copy of the selected used serial number&apos;s label on this station</source>
        <translation>在本工位再打印一份所选已使用序列号的标签</translation>
    </message>
    <message>
        <source>Reprint label</source>
        <translation>补打标签</translation>
    </message>
    <message>
        <source>Printed on %1 at %2</source>
        <translation>已于 %2 在 %1 打印</translation>
    </message>
    <message>
        <source>Failed on %1; due since %2</source>
        <translation>在 %1 打印失败；自 %2 起待打</translation>
    </message>
    <message>
        <source>no printer</source>
        <translation>无打印机</translation>
    </message>
    <message>
        <source>Please select a used serial number!</source>
        <translation>请选择已使用的序列号！</translation>
    </message>
    <message>
        <source>Waiting, copy %1</source>
        <translation>待打印，第 %1 份</translation>
    </message>
    <message>
        <source>Waiting</source>
        <translation>待打印</translation>
    </message>
    <message>
        <source>Printed, copy %1</source>
        <translation>已打印，第 %1 份</translation>
    </message>
    <message>
        <source>Printed</source>
        <translation>已打印</translation>
    </message>
    <message>
        <source>Failed, copy %1: %2</source>
        <translation>打印失败，第 %1 份：%2</translation>
    </message>
    <message>
        <source>Failed: %1</source>
        <translation>打印失败：%1</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>保存</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>值</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>原因</translation>
    </message>
    <message>
        <source>does not match the customer&apos;s UUID pattern</source>
        <translation>不符合该客户的 UUID 格式</translation>
    </message>
    <message>
        <source>the cell holds an error or a stale formula result</source>
        <translation>单元格为错误值或过期的公式结果</translation>
    </message>
    <message>
        <source>empty, too long or unreadable</source>
        <translation>为空、过长或无法读取</translation>
    </message>
    <message>
        <source>(%1 more not listed)</source>
        <translation>（另有 %1 个未列出）</translation>
    </message>
    <message>
        <source>The list could not be saved: %1</source>
        <translation>列表无法保存：%1</translation>
    </message>
    <message>
        <source>%1 value(s) did not match the customer&apos;s UUID pattern.</source>
        <translation>%1 个值不符合该客户的 UUID 格式。</translation>
    </message>
    <message>
        <source>Save the list of refused values?</source>
        <translation>是否保存被拒绝的值的列表？</translation>
    </message>
    <message>
        <source>Every import batch and what became of the serial numbers it stored</source>
        <translation>每个导入批次及其存入的序列号的去向</translation>
    </message>
    <message>
        <source>Batches</source>
        <translation>批次</translation>
    </message>
</context>
<context>
    <name>Tarnwell</name>
    <message>
        <source>Serail Number</source>
        <translation>序列号</translation>
    </message>
    <message>
        <source>Burning</source>
        <translation>烧录</translation>
    </message>
    <message>
        <source>Customer</source>
        <translation>客户</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>Log</source>
        <translation>日志</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>question</source>
        <translation>询问</translation>
    </message>
    <message>
        <source>Whether to exit</source>
        <translation>是否退出</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>注销</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Tarnwell is already running in this folder. Use that window; this one closes.</source>
        <translation>Tarnwell 已在此文件夹中运行。请使用那个窗口；本窗口将关闭。</translation>
    </message>
    <message>
        <source>the lock file could not be made</source>
        <translation>无法创建锁文件</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Tarnwell cannot write in the folder %1 (%2), so it cannot keep its pool there. Start it in a folder it may write; this one closes.</source>
        <translation>Tarnwell 无法写入文件夹 %1（%2），因此无法在此保存标识池。请在可写入的文件夹中启动它；本窗口将关闭。</translation>
    </message>
    <message>
        <source>The pool was made by a newer version of Tarnwell (schema version %1; this one knows up to %2). It was left as it is; this one closes.</source>
        <translation>标识池由更新版本的 Tarnwell 创建（架构版本 %1；本程序最高支持 %2）。标识池保持原样未被改动；本窗口将关闭。</translation>
    </message>
    <message>
        <source>The pool could not be brought to this version of Tarnwell (%1). It was left as it was; this one closes.</source>
        <translation>无法将标识池升级到此版本的 Tarnwell（%1）。标识池保持原样；本窗口将关闭。</translation>
    </message>
    <message>
        <source>Your account %1 was added to the group %2, which may use this station&apos;s pool in %3, after you logged in. Log out and log in again to use it. Tarnwell closes.</source>
        <translation>您的账户 %1 是在您登录之后才加入组 %2 的（该组可以使用本工位在 %3 的标识池）。请注销并重新登录后再使用。Tarnwell 将关闭。</translation>
    </message>
    <message>
        <source>This station keeps its pool in %1, which only the members of the group %2 may use, and your account %3 is not one of them. Ask the administrator of this PC to add you:

sudo adduser %3 %2

then log out and log in again. Tarnwell closes.</source>
        <translation>本工位的标识池在 %1，只有组 %2 的成员可以使用，而您的账户 %3 不在其中。请本机管理员将您加入该组：

sudo adduser %3 %2

然后注销并重新登录。Tarnwell 将关闭。</translation>
    </message>
    <message>
        <source>Your own folder holds settings %1 (for example the line&apos;s server), but this station&apos;s folder %2 has none, so Tarnwell would start on a pool of its own. Put them there for every operator of this PC:

install -m 660 %1 %2/

Tarnwell closes.</source>
        <translation>您自己的文件夹中有设置文件 %1（例如产线服务器的设置），但本工位的文件夹 %2 中没有，Tarnwell 将会使用一个单独的标识池启动。请先为本机的所有操作员把它放到那里：

install -m 660 %1 %2/

Tarnwell 将关闭。</translation>
    </message>
    <message>
        <source>An earlier version kept a pool of your own in %1; it was left as it is. This station now keeps one pool for all its operators in %2. To bring its identifiers and log over, close Tarnwell and run in a terminal:

%3

Then move %1 out of its folder, keeping it as a copy; until then this note comes at every start.</source>
        <translation>旧版本在 %1 为您单独保存了一个标识池；它保持原样未被改动。本工位现在在 %2 为所有操作员保存同一个标识池。要把其中的标识和日志转过来，请关闭 Tarnwell 并在终端中运行：

%3

然后把 %1 移出它所在的文件夹并保留作为副本；在此之前每次启动都会显示本提示。</translation>
    </message>
    <message>
        <source>Users</source>
        <translation>用户</translation>
    </message>
    <message>
        <source>The settings file %1 cannot be used: %2. Nothing was opened; correct the file and start Tarnwell again.</source>
        <translation>设置文件 %1 无法使用：%2。未打开任何号池；请改正该文件后重新启动 Tarnwell。</translation>
    </message>
    <message>
        <source>Tarnwell cannot open the pool on the server: host %1, port %2, database %3, login %4. The server says: %5 Check that the server runs and can be reached, and the login and its password; this one closes.</source>
        <translation>Tarnwell 无法打开服务器上的号池：主机 %1，端口 %2，数据库 %3，登录名 %4。服务器回复：%5 请检查服务器是否运行且可以访问，以及登录名和密码；本窗口将关闭。</translation>
    </message>
    <message>
        <source>Tarnwell cannot open the pool file %1: %2 This one closes.</source>
        <translation>Tarnwell 无法打开号池文件 %1：%2 本窗口将关闭。</translation>
    </message>
    <message>
        <source>The pool on the server (host %1, port %2) is older than this version of Tarnwell, and the login %3 may not change it. The database&apos;s owner runs &quot;tarnwell-admin setup-server&quot; once, then the stations start again. Nothing was changed; this one closes.</source>
        <translation>服务器（主机 %1，端口 %2）上的号池版本低于本版 Tarnwell，而登录名 %3 无权修改它。请数据库所有者运行一次“tarnwell-admin setup-server”，然后各工位重新启动。未做任何修改；本窗口将关闭。</translation>
    </message>
    <message>
        <source>The login %1 lacks privileges this station needs on the server (host %2, port %3): %4. The database&apos;s owner runs &quot;tarnwell-admin setup-server&quot; and makes %1 a member of the stations&apos; group role; this one closes.</source>
        <translation>登录名 %1 缺少本工位在服务器（主机 %2，端口 %3）上所需的权限：%4。请数据库所有者运行“tarnwell-admin setup-server”，并将 %1 加入工位组角色；本窗口将关闭。</translation>
    </message>
    <message>
        <source>Report</source>
        <translation>报表</translation>
    </message>
</context>
<context>
    <name>TarnwellClass</name>
    <message>
        <source>Tarnwell</source>
        <translation>Tarnwell</translation>
    </message>
</context>
<context>
    <name>Unlock</name>
    <message>
        <source>Tarnwell is locked</source>
        <translation>Tarnwell 已锁定</translation>
    </message>
    <message>
        <source>Log in to go on. Another person may log in here instead.</source>
        <translation>请登录以继续。也可以由其他人在此登录。</translation>
    </message>
    <message>
        <source>Login Name</source>
        <translation>登录名</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>登录</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Login name is empty!</source>
        <translation>登录名为空！</translation>
    </message>
</context>
<context>
    <name>UpdatePwd</name>
    <message>
        <source>UpdatePwd</source>
        <translation>修改密码</translation>
    </message>
    <message>
        <source>Old password</source>
        <translation>旧密码</translation>
    </message>
    <message>
        <source>New password</source>
        <translation>新密码</translation>
    </message>
    <message>
        <source>Confirm password</source>
        <translation>确认密码</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>更新</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>New password is empty!</source>
        <translation>新密码为空！</translation>
    </message>
    <message>
        <source>Confirm password is not same to new password!</source>
        <translation>确认密码与新密码不一致！</translation>
    </message>
    <message>
        <source>New password can not begin or end with a blank!</source>
        <translation>新密码的开头或结尾不能是空格！</translation>
    </message>
    <message>
        <source>Old password error!</source>
        <translation>旧密码错误！</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>Update success!</source>
        <translation>更新成功！</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The password could not be changed; the old one stays.</source>
        <translation>密码无法修改，旧密码仍然有效。</translation>
    </message>
    <message>
        <source>The password could not be checked: %1</source>
        <translation>无法校验密码：%1</translation>
    </message>
</context>
<context>
    <name>UserMng</name>
    <message>
        <source>Users</source>
        <translation>用户</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>姓名</translation>
    </message>
    <message>
        <source>Role</source>
        <translation>角色</translation>
    </message>
    <message>
        <source>State</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>Confirm password</source>
        <translation>确认密码</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>添加</translation>
    </message>
    <message>
        <source>Set role</source>
        <translation>设置角色</translation>
    </message>
    <message>
        <source>Set password</source>
        <translation>设置密码</translation>
    </message>
    <message>
        <source>Disable</source>
        <translation>停用</translation>
    </message>
    <message>
        <source>Disabled</source>
        <translation>已停用</translation>
    </message>
    <message>
        <source>Enabled</source>
        <translation>已启用</translation>
    </message>
    <message>
        <source>Enable</source>
        <translation>启用</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Please select a person!</source>
        <translation>请选择一个人！</translation>
    </message>
    <message>
        <source>The password is empty!</source>
        <translation>密码为空！</translation>
    </message>
    <message>
        <source>Confirm password is not same to new password!</source>
        <translation>确认密码与新密码不一致！</translation>
    </message>
    <message>
        <source>The password can not begin or end with a blank!</source>
        <translation>密码不能以空格开头或结尾！</translation>
    </message>
    <message>
        <source>Only an administrator may manage users; nothing was changed.</source>
        <translation>只有管理员可以管理用户，未做任何更改。</translation>
    </message>
    <message>
        <source>You can not disable the account you are signed in with.</source>
        <translation>不能停用您当前登录所用的账户。</translation>
    </message>
    <message>
        <source>The name can not be empty or begin or end with a blank!</source>
        <translation>姓名不能为空，也不能以空格开头或结尾！</translation>
    </message>
    <message>
        <source>The name can not be longer than %1 bytes!</source>
        <translation>姓名不能超过 %1 个字节！</translation>
    </message>
    <message>
        <source>%1 is taken; choose another name.</source>
        <translation>%1 已被使用，请选择其他姓名。</translation>
    </message>
    <message>
        <source>That person or role is not in the pool; nothing was changed.</source>
        <translation>该人员或角色不存在，未做任何更改。</translation>
    </message>
    <message>
        <source>The pool must keep an enabled administrator; nothing was changed.</source>
        <translation>必须保留至少一名启用的管理员，未做任何更改。</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The change could not be saved; nothing was changed.</source>
        <translation>更改无法保存，未做任何更改。</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>The new password of %1 is set.</source>
        <translation>%1 的新密码已设置。</translation>
    </message>
</context>
<context>
    <name>WorkOrderDlg</name>
    <message>
        <source>Work orders</source>
        <translation>工单</translation>
    </message>
    <message>
        <source>Order</source>
        <translation>工单</translation>
    </message>
    <message>
        <source>Customer</source>
        <translation>客户</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>类型</translation>
    </message>
    <message>
        <source>Quantity</source>
        <translation>数量</translation>
    </message>
    <message>
        <source>Used</source>
        <translation>已使用</translation>
    </message>
    <message>
        <source>Pending</source>
        <translation>待确认</translation>
    </message>
    <message>
        <source>Note</source>
        <translation>备注</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>工位</translation>
    </message>
    <message>
        <source>Person</source>
        <translation>人员</translation>
    </message>
    <message>
        <source>Device type</source>
        <translation>设备类型</translation>
    </message>
    <message>
        <source>any</source>
        <translation>任意</translation>
    </message>
    <message>
        <source>Create</source>
        <translation>创建</translation>
    </message>
    <message>
        <source>Export devices</source>
        <translation>导出设备</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>UMEYE</source>
        <translation>UMEYE</translation>
    </message>
    <message>
        <source>Brisvan</source>
        <translation>Brisvan</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The work orders could not be read: %1</source>
        <translation>无法读取工单：%1</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>The quantity must be a number of devices from 1 to %1.</source>
        <translation>数量必须是 1 到 %1 之间的设备数。</translation>
    </message>
    <message>
        <source>The device type is longer than any device reports.</source>
        <translation>设备类型比任何设备报告的都长。</translation>
    </message>
    <message>
        <source>Work order</source>
        <translation>工单</translation>
    </message>
    <message>
        <source>Work order %1 created: %2 x %3 %4</source>
        <translation>已创建工单 %1：%2 × %3 %4</translation>
    </message>
    <message>
        <source>The work order could not be created: %1</source>
        <translation>无法创建工单：%1</translation>
    </message>
    <message>
        <source>Please select a work order!</source>
        <translation>请选择工单！</translation>
    </message>
    <message>
        <source>The work order could not be read: %1</source>
        <translation>无法读取工单：%1</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>保存</translation>
    </message>
    <message>
        <source>Files</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>UUID</source>
        <translation>UUID</translation>
    </message>
    <message>
        <source>SN.</source>
        <translation>序列号</translation>
    </message>
    <message>
        <source>IP</source>
        <translation>IP</translation>
    </message>
    <message>
        <source>State</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>used</source>
        <translation>已使用</translation>
    </message>
    <message>
        <source>pending</source>
        <translation>待确认</translation>
    </message>
    <message>
        <source>void</source>
        <translation>作废</translation>
    </message>
    <message>
        <source>other</source>
        <translation>其他</translation>
    </message>
    <message>
        <source>The file could not be written: %1</source>
        <translation>文件无法写入：%1</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>信息</translation>
    </message>
    <message numerus="yes">
        <source>%n device(s) of work order %1 exported.</source>
        <translation>
            <numerusform>已导出工单 %1 的 %n 台设备。</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>jobs::BurnJob</name>
    <message>
        <source>no customer %1</source>
        <translation>没有客户 %1</translation>
    </message>
    <message>
        <source>uuid too long</source>
        <translation>UUID过长</translation>
    </message>
    <message>
        <source>device serial number too long</source>
        <translation>设备序列号过长</translation>
    </message>
    <message>
        <source>user name too long</source>
        <translation>用户名过长</translation>
    </message>
    <message>
        <source>password too long</source>
        <translation>密码过长</translation>
    </message>
    <message>
        <source>host address too long</source>
        <translation>主机地址过长</translation>
    </message>
    <message>
        <source>uuid kind too long</source>
        <translation>UUID类型过长</translation>
    </message>
    <message>
        <source>port %1 out of range</source>
        <translation>端口 %1 超出范围</translation>
    </message>
    <message>
        <source>log text too long</source>
        <translation>日志文本过长</translation>
    </message>
    <message>
        <source>device IP is not an address</source>
        <translation>设备 IP 不是有效地址</translation>
    </message>
    <message>
        <source>device already burnt or tried in this pass</source>
        <translation>本轮中该设备已烧录或已尝试</translation>
    </message>
    <message>
        <source>uuid not found in the pool</source>
        <translation>UUID不在序列号池中</translation>
    </message>
    <message>
        <source>uuid taken by another program</source>
        <translation>UUID 已被另一个程序占用</translation>
    </message>
    <message>
        <source>device already holds a uuid</source>
        <translation>设备已持有 UUID</translation>
    </message>
    <message>
        <source>User operation</source>
        <translation>用户操作</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2] skipped: %3</source>
        <translation>烧录UUID [%1] [%2] 已跳过：%3</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2] write failed: the SDK answered %3</source>
        <translation>烧录 uuid [%1] [%2] 写入失败：SDK 返回 %3</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2]</source>
        <translation>烧录UUID [%1] [%2]</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2] written</source>
        <translation>烧录 uuid [%1] [%2] 已写入</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2] written, not confirmed: the device reports [%3]</source>
        <translation>烧录 uuid [%1] [%2] 已写入，未确认：设备报告 [%3]</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2] written, not confirmed: the device did not answer the read</source>
        <translation>烧录 uuid [%1] [%2] 已写入，未确认：设备未回应读取</translation>
    </message>
    <message>
        <source>Burning uuid [%1] [%2] confirmed</source>
        <translation>烧录 uuid [%1] [%2] 已确认</translation>
    </message>
    <message>
        <source>uuid does not match the customer&apos;s UUID pattern</source>
        <translation>标识不符合该客户的 UUID 格式</translation>
    </message>
    <message>
        <source>work order %1 is complete</source>
        <translation>工单 %1 已完成</translation>
    </message>
    <message>
        <source>device not of work order %1&apos;s customer and type</source>
        <translation>设备不属于工单 %1 的客户和类型</translation>
    </message>
</context>
<context>
    <name>jobs::LabelQueue</name>
    <message>
        <source>The label printer setting &quot;%1&quot; cannot be used: %2</source>
        <translation>标签打印机设置“%1”无法使用：%2</translation>
    </message>
    <message>
        <source>The label template %1 cannot be used: %2</source>
        <translation>标签模板 %1 无法使用：%2</translation>
    </message>
    <message>
        <source>The label printer &quot;%1&quot; cannot be used here.</source>
        <translation>标签打印机“%1”在此无法使用。</translation>
    </message>
    <message>
        <source>The pool could not be reached: %1</source>
        <translation>无法访问号池：%1</translation>
    </message>
    <message>
        <source>The program stopped before the label left; it prints again.</source>
        <translation>程序在标签发出前停止；将重新打印。</translation>
    </message>
    <message>
        <source>The program stopped while sending the label to %1; whether it printed is not known. Check the device&apos;s box and reprint the label if it has none.</source>
        <translation>程序在向 %1 发送标签时停止，无法确定是否已打印。请检查设备包装盒，如没有标签请重新打印。</translation>
    </message>
    <message>
        <source>Label</source>
        <translation>标签</translation>
    </message>
    <message>
        <source>Label copy %1 of %2 (device %3) may not have printed: check the box, reprint if it has none</source>
        <translation>%2（设备 %3）的第 %1 份标签可能未打印：请检查包装盒，没有则重新打印</translation>
    </message>
    <message>
        <source>Label copy %1 of %2 (device %3) cannot be printed: %4</source>
        <translation>%2（设备 %3）的第 %1 份标签无法打印：%4</translation>
    </message>
    <message>
        <source>The label printer %1 took nothing: %2</source>
        <translation>标签打印机 %1 未接收标签：%2</translation>
    </message>
</context>
<context>
    <name>jobs::Report</name>
    <message>
        <source>no such customer</source>
        <translation>没有该客户</translation>
    </message>
    <message>
        <source>port out of range</source>
        <translation>端口超出范围</translation>
    </message>
    <message>
        <source>work order complete</source>
        <translation>工单已完成</translation>
    </message>
    <message>
        <source>device not of the work order&apos;s customer and type</source>
        <translation>设备不属于工单的客户和类型</translation>
    </message>
    <message>
        <source>a claim could not be recorded</source>
        <translation>无法记录预占</translation>
    </message>
    <message>
        <source>a written device could not be recorded</source>
        <translation>无法记录已写入的设备</translation>
    </message>
    <message>
        <source>the uuid was no longer pending for its device</source>
        <translation>该 uuid 已不再为其设备待定</translation>
    </message>
    <message>
        <source>the operation log could not be written</source>
        <translation>无法写入操作日志</translation>
    </message>
    <message>
        <source>the pool could not be read</source>
        <translation>无法读取号池</translation>
    </message>
    <message>
        <source>Device refused (SDK answer %1)</source>
        <translation>设备拒绝（SDK 返回 %1）</translation>
    </message>
    <message>
        <source>Not confirmed: no answer</source>
        <translation>未确认：无应答</translation>
    </message>
    <message>
        <source>Not confirmed: other identifier</source>
        <translation>未确认：其他标识</translation>
    </message>
    <message>
        <source>Skipped: %1</source>
        <translation>已跳过：%1</translation>
    </message>
    <message>
        <source>Store stopped the pass: %1</source>
        <translation>存储中止了本轮：%1</translation>
    </message>
    <message>
        <source>The report could not be read from the pool: %1</source>
        <translation>无法从号池读取报表：%1</translation>
    </message>
    <message>
        <source>Hour</source>
        <translation>小时</translation>
    </message>
    <message>
        <source>Day</source>
        <translation>日期</translation>
    </message>
    <message>
        <source>Devices confirmed per hour</source>
        <translation>每小时确认的设备</translation>
    </message>
    <message>
        <source>Devices confirmed per day</source>
        <translation>每天确认的设备</translation>
    </message>
    <message>
        <source>Total</source>
        <translation>合计</translation>
    </message>
    <message>
        <source>Devices per person</source>
        <translation>每人设备数</translation>
    </message>
    <message>
        <source>Person</source>
        <translation>人员</translation>
    </message>
    <message>
        <source>Confirmed devices</source>
        <translation>确认设备数</translation>
    </message>
    <message>
        <source>Written devices</source>
        <translation>写入设备数</translation>
    </message>
    <message>
        <source>First-pass devices</source>
        <translation>一次通过设备数</translation>
    </message>
    <message>
        <source>Write tries</source>
        <translation>写入次数</translation>
    </message>
    <message>
        <source>Retries</source>
        <translation>重试次数</translation>
    </message>
    <message>
        <source>(nobody)</source>
        <translation>（无人）</translation>
    </message>
    <message>
        <source>First-pass yield per hour</source>
        <translation>每小时一次通过率</translation>
    </message>
    <message>
        <source>First-pass yield per day</source>
        <translation>每天一次通过率</translation>
    </message>
    <message>
        <source>First-pass yield %</source>
        <translation>一次通过率 %</translation>
    </message>
    <message>
        <source>Failures by cause</source>
        <translation>按原因分类的失败</translation>
    </message>
    <message>
        <source>Cause</source>
        <translation>原因</translation>
    </message>
    <message>
        <source>Events</source>
        <translation>事件数</translation>
    </message>
    <message>
        <source>Devices</source>
        <translation>设备数</translation>
    </message>
    <message>
        <source>Stock at the end of each hour</source>
        <translation>每小时结束时的库存</translation>
    </message>
    <message>
        <source>Stock at the end of each day</source>
        <translation>每天结束时的库存</translation>
    </message>
    <message>
        <source>Days of stock left</source>
        <translation>库存剩余天数</translation>
    </message>
    <message>
        <source>Customer</source>
        <translation>客户</translation>
    </message>
    <message>
        <source>Stock now</source>
        <translation>当前库存</translation>
    </message>
    <message>
        <source>Taken in range</source>
        <translation>期间取用</translation>
    </message>
    <message>
        <source>Burn rate per day</source>
        <translation>每天烧录量</translation>
    </message>
    <message>
        <source>Days left</source>
        <translation>剩余天数</translation>
    </message>
</context>
<context>
    <name>jobs::ReworkJob</name>
    <message>
        <source>Rework</source>
        <translation>返工</translation>
    </message>
    <message>
        <source>Keep uuid [%1] [%2]</source>
        <translation>保留uuid [%1] [%2]</translation>
    </message>
    <message>
        <source>Replace uuid [%1] [%2] with [%3]: %4</source>
        <translation>更换uuid [%1] [%2] 为 [%3]：%4</translation>
    </message>
    <message>
        <source>Release uuid [%1] [%2]: %3</source>
        <translation>释放uuid [%1] [%2]：%3</translation>
    </message>
</context>
<context>
    <name>jobs::StockWatch</name>
    <message>
        <source>Low pool</source>
        <translation>库存不足</translation>
    </message>
    <message>
        <source>Low pool: %1 %2 unused</source>
        <translation>库存不足：%1 剩余 %2 个未使用</translation>
    </message>
</context>
</TS>
