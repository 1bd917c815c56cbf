<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The English texts of the windows, by the Japanese text they replace (lrelease compiles this at
     build time). A text without a translation here is shown in Japanese: the walk over every
     window in tests/app/English_test.cpp finds it.
     The context "Messages" holds the messages of the jobs, the errors and the notifications, which
     the command-line tool shows too: i18n/MessageTable.cmake turns it into a table that needs no Qt
     (engine/Messages.h). There %1, %2... stand for the text the program puts in at that place, such
     as a path, kept as it is. -->
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>TForm1</name>
    <message>
        <source>ファイル(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>対象ファイルを開く(&amp;O)...</source>
        <translation>&amp;Open Source...</translation>
    </message>
    <message>
        <source>保存先ファイルを指定(&amp;S)...</source>
        <translation>&amp;Save As...</translation>
    </message>
    <message>
        <source>終了(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>オプション(&amp;O)</source>
        <translation>&amp;Options</translation>
    </message>
    <message>
        <source>エンコード設定(&amp;E)...</source>
        <translation>&amp;Encoding Settings...</translation>
    </message>
    <message>
        <source>一言メッセージ(&amp;M)...</source>
        <translation>Short &amp;Message...</translation>
    </message>
    <message>
        <source>ヘルプ(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>補足説明(&amp;E)...</source>
        <translation>&amp;Explanation...</translation>
    </message>
    <message>
        <source>バージョン(&amp;V)...</source>
        <translation>&amp;Version...</translation>
    </message>
    <message>
        <source>ソースを開く</source>
        <translation>Open the source</translation>
    </message>
    <message>
        <source>保存先を指定する</source>
        <translation>Choose the destination</translation>
    </message>
    <message>
        <source>実行</source>
        <translation>Run</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>すべての処理をバイパス</source>
        <translation>Bypass all processing</translation>
    </message>
    <message>
        <source>逆モード</source>
        <translation>Inverse mode</translation>
    </message>
    <message>
        <source>減算処理バイパス</source>
        <translation>Bypass the subtraction</translation>
    </message>
    <message>
        <source>エンハンサー</source>
        <translation>Enhancer</translation>
    </message>
    <message>
        <source>再生</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>カラオケ化 実行</source>
        <translation>Make Karaoke</translation>
    </message>
    <message>
        <source>リサジュー</source>
        <translation>Lissajous</translation>
    </message>
    <message>
        <source>カラオケ化調整</source>
        <translation>Tuning</translation>
    </message>
</context>
<context>
    <name>TTuneDlg</name>
    <message>
        <source>カラオケ化調整</source>
        <translation>Karaoke Tuning</translation>
    </message>
    <message>
        <source>&lt; ゆるい</source>
        <translation>&lt; gentle</translation>
    </message>
    <message>
        <source>つよい &gt;</source>
        <translation>strong &gt;</translation>
    </message>
    <message>
        <source>Aパラメータ :</source>
        <translation>A parameter:</translation>
    </message>
    <message>
        <source>Pパラメータ :</source>
        <translation>P parameter:</translation>
    </message>
    <message>
        <source>シンセティック</source>
        <translation>Synthetic</translation>
    </message>
    <message>
        <source>精度と速度 :</source>
        <translation>Precision:</translation>
    </message>
    <message>
        <source>処理範囲 :</source>
        <translation>Range:</translation>
    </message>
    <message>
        <source>キーチェンジ:</source>
        <translation>Key change:</translation>
    </message>
    <message>
        <source>高音質 :</source>
        <translation>Quality:</translation>
    </message>
    <message>
        <source>使う</source>
        <translation>Use</translation>
    </message>
    <message>
        <source>残響 :</source>
        <translation>Reverb:</translation>
    </message>
    <message>
        <source>自動</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>なし</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>あり</source>
        <translation>On</translation>
    </message>
    <message>
        <source>いま変更しても適用されません</source>
        <translation>Changes made now are not applied</translation>
    </message>
    <message>
        <source>すべて (0Hz～)</source>
        <translation>All (0 Hz~)</translation>
    </message>
    <message>
        <source>低音ボーカル (100～12kHz)</source>
        <translation>Low voice (100~12 kHz)</translation>
    </message>
    <message>
        <source>通常ボーカル (150～14kHz)</source>
        <translation>Normal voice (150~14 kHz)</translation>
    </message>
    <message>
        <source>高音ボーカル (250～15kHz)</source>
        <translation>High voice (250~15 kHz)</translation>
    </message>
    <message>
        <source>カスタム</source>
        <translation>Custom</translation>
    </message>
</context>
<context>
    <name>TEncsetDlg</name>
    <message>
        <source>エンコード</source>
        <translation>Encoding</translation>
    </message>
    <message>
        <source>品質:</source>
        <translation>Level:</translation>
    </message>
    <message>
        <source>クオリティ:</source>
        <translation>Quality:</translation>
    </message>
    <message>
        <source>ビットレート:</source>
        <translation>Bit rate:</translation>
    </message>
    <message>
        <source>デフォルト</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>最速 (Fast)</source>
        <translation>Fast</translation>
    </message>
    <message>
        <source>標準 (Normal)</source>
        <translation>Normal</translation>
    </message>
    <message>
        <source>高品質 (High)</source>
        <translation>High</translation>
    </message>
    <message>
        <source>最高品質 (Extra-High)</source>
        <translation>Extra High</translation>
    </message>
</context>
<context>
    <name>TSendMsgDlg</name>
    <message>
        <source>一言メッセージ</source>
        <translation>Short Message</translation>
    </message>
    <message>
        <source>作者へメッセージを送ることができます。お気軽にご利用ください。</source>
        <translation>You can send the author a message. Feel free to write.</translation>
    </message>
    <message>
        <source>送る</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>送達</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>送信が完了しました。</source>
        <translation>The message has been sent.</translation>
    </message>
</context>
<context>
    <name>TRiderDlg</name>
    <message>
        <source>補足説明</source>
        <translation>Explanation</translation>
    </message>
</context>
<context>
    <name>HelpFiles</name>
    <message>
        <source>rider.html</source>
        <translation>rider_en.html</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;body&gt;&lt;h3&gt;補足説明のページが見つかりません&lt;/h3&gt;&lt;p&gt;次のファイルがありません。&lt;/p&gt;&lt;p&gt;&lt;tt&gt;%1&lt;/tt&gt;&lt;/p&gt;&lt;p&gt;プログラムと同じフォルダーか、インストール先の share/merolune/ に rider.html を置いてください。&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;body&gt;&lt;h3&gt;The explanation page cannot be found&lt;/h3&gt;&lt;p&gt;This file is missing:&lt;/p&gt;&lt;p&gt;&lt;tt&gt;%1&lt;/tt&gt;&lt;/p&gt;&lt;p&gt;Put rider_en.html beside the program or, when installed, in share/merolune/.&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>ソースファイルが存在しません。パスを確認してください。</source>
        <translation>The source file does not exist. Please check the path.</translation>
    </message>
    <message>
        <source>保存先には既にファイルが存在します。上書きしますか？</source>
        <translation>The destination file already exists. Overwrite it?</translation>
    </message>
    <message>
        <source>未対応の形式です。</source>
        <translation>This format is not supported.</translation>
    </message>
    <message>
        <source>ストリームを作成できません</source>
        <translation>Cannot create the stream</translation>
    </message>
    <message>
        <source>ソースが通常のファイルではありません: %1</source>
        <translation>The source is not a regular file: %1</translation>
    </message>
    <message>
        <source>WAV ファイルではありません (RIFF/WAVE のヘッダーか fmt チャンクがありません)</source>
        <translation>Not a WAV file (no RIFF/WAVE header or no fmt chunk)</translation>
    </message>
    <message>
        <source>PCM 以外の WAV ファイルには対応していません: %1</source>
        <translation>WAV files other than PCM are not supported: %1</translation>
    </message>
    <message>
        <source>ステレオではありません</source>
        <translation>Not stereo</translation>
    </message>
    <message>
        <source>ステレオではありません: モノラルのファイルは左右が同じ音なので、中央の声だけを消すことができず、カラオケにはできません</source>
        <translation>Not stereo: a mono file has the same sound on the left and the right, so the voice in the centre cannot be removed on its own and no karaoke track can be made</translation>
    </message>
    <message>
        <source>ステレオではありません: このファイルは %1 チャンネルです（2 チャンネルのステレオだけに対応しています）</source>
        <translation>Not stereo: this file has %1 channels (only 2-channel stereo is supported)</translation>
    </message>
    <message>
        <source>対応していない量子化ビット数です</source>
        <translation>Unsupported bits per sample</translation>
    </message>
    <message>
        <source>WAV ファイルの fmt チャンクが短すぎます（16 バイト未満）</source>
        <translation>The WAV file's fmt chunk is too short (under 16 bytes)</translation>
    </message>
    <message>
        <source>WAV ファイルのサンプリング周波数が 0 です</source>
        <translation>The WAV file's sampling rate is 0</translation>
    </message>
    <message>
        <source>出力が WAV の上限 (4 GiB) を超えます</source>
        <translation>The result would exceed the WAV limit (4 GiB)</translation>
    </message>
    <message>
        <source>逆モードでは除去した部分（ボーカル）を別のファイルに書き出せません: 結果そのものが除去した部分です</source>
        <translation>In inverse mode the removed part (vocals) cannot be written to a separate file: the result is the removed part itself</translation>
    </message>
    <message>
        <source>キー変更をするときは除去した部分（ボーカル）を別のファイルに書き出せません: カラオケと足しても元の曲に戻りません</source>
        <translation>With a key change the removed part (vocals) cannot be written to a separate file: added to the karaoke track it would not give back the song</translation>
    </message>
    <message>
        <source>ボーカルの保存先がカラオケの保存先と同じです: %1</source>
        <translation>The vocals' destination is the karaoke track's destination: %1</translation>
    </message>
    <message>
        <source>エラー</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>確認</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>ファイルを開けません: %1</source>
        <translation>Cannot open the file: %1</translation>
    </message>
    <message>
        <source>ファイルを作成できません: %1</source>
        <translation>Cannot create the file: %1</translation>
    </message>
    <message>
        <source>ファイルを読み込めません: %1</source>
        <translation>Cannot read the file: %1</translation>
    </message>
    <message>
        <source>ファイルを読み込めません: 予期しない終端</source>
        <translation>Cannot read the file: unexpected end</translation>
    </message>
    <message>
        <source>ファイルに書き込めません: %1</source>
        <translation>Cannot write to the file: %1</translation>
    </message>
    <message>
        <source>ファイル内を移動できません: %1</source>
        <translation>Cannot seek in the file: %1</translation>
    </message>
    <message>
        <source>保存先が指定されていません</source>
        <translation>No destination is given</translation>
    </message>
    <message>
        <source>保存先に書き込めません: %1</source>
        <translation>Cannot write the destination: %1</translation>
    </message>
    <message>
        <source>保存先のフォルダを作成できません: %1</source>
        <translation>Cannot create the destination folder: %1</translation>
    </message>
    <message>
        <source>一時ファイルを作成できません: %1</source>
        <translation>Cannot create a temporary file: %1</translation>
    </message>
    <message>
        <source>現在のディレクトリを取得できません (%1)</source>
        <translation>Cannot get the current folder (%1)</translation>
    </message>
    <message>
        <source>デコードに失敗しました: %1</source>
        <translation>Decoding failed: %1</translation>
    </message>
    <message>
        <source>エンコードに失敗しました: %1</source>
        <translation>Encoding failed: %1</translation>
    </message>
    <message>
        <source>プラグインをロードできません</source>
        <translation>Cannot load the plug-in</translation>
    </message>
    <message>
        <source>音声ストリームがありません（映像だけのファイルか、音声を含まないファイルです）</source>
        <translation>No audio stream (the file holds only video, or no sound at all)</translation>
    </message>
    <message>
        <source>この音声の符号化方式には対応していません: %1</source>
        <translation>This audio coding is not supported: %1</translation>
    </message>
    <message>
        <source>ファイルが壊れているか、途中で切れています: %1</source>
        <translation>The file is damaged or cut short: %1</translation>
    </message>
    <message>
        <source>サンプル数が基数の累乗ではありません</source>
        <translation>The number of samples is not a power of the radix</translation>
    </message>
    <message>
        <source>配列の範囲を越えました</source>
        <translation>Index out of range</translation>
    </message>
    <message>
        <source>スレッドを２重に起動できません</source>
        <translation>The thread cannot be started twice</translation>
    </message>
    <message>
        <source>サウンドバッファの作成に失敗しました</source>
        <translation>Could not create the sound buffer</translation>
    </message>
    <message>
        <source>サウンドバッファの再生に失敗しました</source>
        <translation>Could not play the sound buffer</translation>
    </message>
    <message>
        <source>バッファ更新イベント送信</source>
        <translation>Buffer update event sent</translation>
    </message>
    <message>
        <source>チャンネル番号%1は無効です、%2～%3の範囲で指定してください</source>
        <translation>Channel number %1 is not valid; give one from %2 to %3</translation>
    </message>
    <message>
        <source>カラオケ化が終わりました</source>
        <translation>The karaoke track is done</translation>
    </message>
    <message>
        <source>カラオケ化できませんでした</source>
        <translation>The karaoke track could not be made</translation>
    </message>
</context>
</TS>
