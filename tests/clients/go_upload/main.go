// Uploads one file to zmfile serve the way Go's documentation shows:
// mime/multipart.Writer's CreateFormFile, posted with net/http. Mode
// "length" builds the body in memory (Content-Length); mode "pipe" writes
// it into an io.Pipe as it is sent (Transfer-Encoding: chunked).
//
//	go_upload MODE URL FIELD FILE NAME
//
// Prints the status code, a newline and the answer's body.
package main

import (
	"bytes"
	"fmt"
	"io"
	"mime/multipart"
	"net/http"
	"os"
)

func writeForm(writer *multipart.Writer, field, path, name string) error {
	part, err := writer.CreateFormFile(field, name)
	if err != nil {
		return err
	}
	file, err := os.Open(path)
	if err != nil {
		return err
	}
	defer file.Close()
	if _, err := io.Copy(part, file); err != nil {
		return err
	}
	return writer.Close()
}

func main() {
	if len(os.Args) != 6 {
		fmt.Fprintln(os.Stderr, "usage: go_upload length|pipe URL FIELD FILE NAME")
		os.Exit(2)
	}
	mode, url, field, path, name := os.Args[1], os.Args[2], os.Args[3], os.Args[4], os.Args[5]
	var body io.Reader
	var contentType string
	switch mode {
	case "length":
		buffer := &bytes.Buffer{}
		writer := multipart.NewWriter(buffer)
		if err := writeForm(writer, field, path, name); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
		body, contentType = buffer, writer.FormDataContentType()
	case "pipe":
		reader, pipe := io.Pipe()
		writer := multipart.NewWriter(pipe)
		go func() { pipe.CloseWithError(writeForm(writer, field, path, name)) }()
		body, contentType = reader, writer.FormDataContentType()
	default:
		fmt.Fprintln(os.Stderr, "unknown mode", mode)
		os.Exit(2)
	}
	request, err := http.NewRequest("POST", url, body)
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	request.Header.Set("Content-Type", contentType)
	request.Header.Set("Accept", "application/json")
	response, err := http.DefaultClient.Do(request)
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	defer response.Body.Close()
	answer, _ := io.ReadAll(response.Body)
	fmt.Printf("%d\n%s", response.StatusCode, answer)
}
